#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "util/expected.h"

namespace tarvo::logger {

// Where an event was emitted. Our own, because clang 14 (used for fuzzing and tidy)
// has no std::source_location with libstdc++ 12; both compilers have the builtins.
struct CallSite {
    const char* file;
    std::uint32_t line;
    static constexpr CallSite current(const char* file = __builtin_FILE(),
                                      std::uint32_t line = __builtin_LINE()) noexcept {
        return {file, line};
    }
};

// Ordered from least to most verbose, so `level <= max` means enabled.
enum class Level : std::uint8_t { Off = 0, Error, Warn, Info, Debug, Trace };

std::string_view level_name(Level level);  // "ERROR", "WARN", ...

// A named field value: numbers and booleans keep their type in the JSON line.
class FieldValue {
public:
    using Variant = std::variant<std::string, std::int64_t, std::uint64_t, double, bool>;
    FieldValue(std::string v) : v_(std::move(v)) {}  // NOLINT: implicit for call-site brevity
    FieldValue(std::string_view v) : v_(std::string(v)) {}  // NOLINT
    FieldValue(const char* v) : v_(std::string(v)) {}       // NOLINT
    FieldValue(bool v) : v_(v) {}                            // NOLINT
    FieldValue(double v) : v_(v) {}                          // NOLINT
    template <typename I>
        requires(std::is_integral_v<I> && !std::is_same_v<I, bool>)
    FieldValue(I v) {  // NOLINT
        if constexpr (std::is_signed_v<I>) {
            v_ = static_cast<std::int64_t>(v);
        } else {
            v_ = static_cast<std::uint64_t>(v);
        }
    }
    const Variant& get() const noexcept { return v_; }

private:
    Variant v_;
};

struct Field {
    std::string name;
    FieldValue value;
};

using Clock = std::chrono::system_clock;

struct Event {
    Level level = Level::Info;
    std::string target;
    std::string message;
    std::vector<Field> fields;
    std::string file;  // relative to the source tree
    std::uint32_t line = 0;
    Clock::time_point time;
    std::uint64_t thread_number = 0;
};

// A directive list such as "info" or "info,tarvo::policy=debug". The most specific
// matching target directive decides; otherwise the bare level (info when none is given).
class Filter {
public:
    Filter() = default;
    // nullopt when the text does not parse.
    static std::optional<Filter> parse(std::string_view text);
    // The variable's value when set and parsable, otherwise "info".
    static Filter from_env_value(const std::optional<std::string>& value);

    bool enabled(Level level, std::string_view target) const;

private:
    Level default_ = Level::Info;
    Level max_ = Level::Info;
    std::vector<std::pair<std::string, Level>> targets_;  // longest target first
};

// "2025-03-01T13:03:07.123456Z"
std::string utc_timestamp(Clock::time_point t);
// "2025-03-01": names the daily file.
std::string utc_date(Clock::time_point t);

// One compact JSON object: timestamp, level, fields (message first), target, filename,
// line_number, threadId.
std::string format_json_line(const Event& e);
// The three terminal lines, with or without colour.
std::string format_terminal(const Event& e, bool colour);

// Writes formatted lines to the daily file from its own thread. `push` never waits
// for disk: when `capacity` lines are queued the new line is dropped.
class FileWriter {
public:
    FileWriter(std::filesystem::path dir, std::size_t capacity);
    ~FileWriter();  // writes out what is queued, then ends the thread
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;

    bool push(std::string date, std::string line);
    std::uint64_t dropped() const noexcept;

private:
    struct State;
    std::unique_ptr<State> state_;
};

inline constexpr std::size_t kFileQueueLines = 128'000;
inline constexpr const char* kLogDir = "/var/log/tarvo";

struct Options {
    std::filesystem::path log_dir = kLogDir;
    std::optional<std::string> filter_env;  // the TARVO_LOG value
    bool colour = true;
    std::FILE* terminal = stdout;
    std::size_t file_queue_lines = kFileQueueLines;
};

// Keeps the diagnostic log installed; releasing it flushes the file writer.
class Guard {
public:
    Guard() = default;
    Guard(Guard&& o) noexcept : active_(std::exchange(o.active_, false)) {}
    Guard& operator=(Guard&& o) noexcept;
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    ~Guard();

private:
    friend Expected<Guard, std::string> setup(const Options&);
    explicit Guard(bool active) : active_(active) {}
    bool active_ = false;
};

// Creates the log directory, tests that it is writable and installs both sinks.
// Errors: the directory cannot be created, or the write test fails. The retention
// pass is left to the caller so that it can run it off the async workers.
Expected<Guard, std::string> setup(const Options& options);

bool enabled(Level level, std::string_view target);

void emit(Level level, std::string_view target, std::string_view message,
          std::initializer_list<Field> fields, const CallSite& loc);

inline void error(std::string_view target, std::string_view message,
                  std::initializer_list<Field> fields = {},
                  const CallSite& loc = CallSite::current()) {
    emit(Level::Error, target, message, fields, loc);
}
inline void warn(std::string_view target, std::string_view message,
                 std::initializer_list<Field> fields = {},
                 const CallSite& loc = CallSite::current()) {
    emit(Level::Warn, target, message, fields, loc);
}
inline void info(std::string_view target, std::string_view message,
                 std::initializer_list<Field> fields = {},
                 const CallSite& loc = CallSite::current()) {
    emit(Level::Info, target, message, fields, loc);
}
inline void debug(std::string_view target, std::string_view message,
                  std::initializer_list<Field> fields = {},
                  const CallSite& loc = CallSite::current()) {
    emit(Level::Debug, target, message, fields, loc);
}

}  // namespace tarvo::logger

namespace tarvo::logger {

// Writes `text` to standard output without interleaving with a diagnostic event.
void write_stdout(std::string_view text);

}  // namespace tarvo::logger
