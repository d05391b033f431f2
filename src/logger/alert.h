#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "util/expected.h"
#include "util/unique_fd.h"

namespace tarvo::logger {

enum class LogLevel : std::uint8_t { Block = 0, Alert = 1, Normal = 2, Threat = 3, Error = 4 };

std::string_view describe(LogLevel level);  // "block", "alert", ...

// One security event as the rings keep it.
struct LogEntry {
    std::string time;  // local "%H:%M:%S%.3f"
    LogLevel level = LogLevel::Normal;
    std::string src_ip;
    std::string dst_ip;
    std::uint16_t src_port = 0;
    std::uint16_t dst_port = 0;
    std::string proto;
    std::string process;  // at most 32 characters
    std::string detail;   // at most 64 characters (normal entries: "allow")

    static LogEntry make(std::string_view time, LogLevel level, std::string_view src_ip,
                         std::string_view dst_ip, std::uint16_t src_port, std::uint16_t dst_port,
                         std::string_view proto, std::string_view process, std::string_view detail);
};

// The first `n` characters (code points) of UTF-8 text.
std::string_view cut_chars(std::string_view text, std::size_t n);

// First in, first out, never above its capacity: the oldest element makes room.
template <typename T>
class Ring {
public:
    explicit Ring(std::size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {}

    void push(T value) {
        if (items_.size() < capacity_) {
            items_.push_back(std::move(value));
        } else {
            items_[next_] = std::move(value);
            next_ = (next_ + 1) % capacity_;
        }
    }
    // Oldest first.
    std::vector<T> snapshot() const {
        std::vector<T> out;
        out.reserve(items_.size());
        for (std::size_t i = 0; i < items_.size(); ++i) out.push_back(items_[(next_ + i) % items_.size()]);
        return out;
    }
    std::size_t size() const noexcept { return items_.size(); }
    std::size_t capacity() const noexcept { return capacity_; }

private:
    std::size_t capacity_;
    std::vector<T> items_;
    std::size_t next_ = 0;  // oldest element once full
};

inline constexpr std::size_t kRecentLogsCapacity = 50;
inline constexpr std::size_t kRecentThreatsCapacity = 20;

// "HH:MM:SS.mmm" local time, refreshed every millisecond by one task and read by the
// packet loop without formatting a time per packet.
class ClockCache {
public:
    struct Text {
        std::array<char, 16> buf{};
        std::size_t len = 0;
        std::string_view view() const { return {buf.data(), len}; }
    };
    ClockCache();
    void refresh();
    Text text() const;

private:
    mutable std::mutex mutex_;
    Text text_;  // guarded by mutex_
};

// Local "%H:%M:%S%.3f" and "%Y-%m-%dT%H:%M:%S%.3f%z" of the current time.
ClockCache::Text local_clock_text();
std::string local_line_timestamp();

// A log file that moves itself aside once it has reached max_bytes: the copy is named
// "<file>.<YYYYmmdd-HHMMSS>" (a ".NNNNNN" suffix when that name exists) and only the
// five newest copies are kept. Owned by the writer thread.
class RotatingFile {
public:
    static constexpr std::size_t kBufferBytes = 65'536;
    static constexpr std::size_t kKeptCopies = 5;

    static Expected<RotatingFile, std::string> open(std::filesystem::path path,
                                                    std::uint64_t max_bytes);
    RotatingFile(RotatingFile&&) noexcept = default;
    RotatingFile& operator=(RotatingFile&&) noexcept = default;
    ~RotatingFile();

    // Appends `line`, rotating first when the file is full; false when it was lost.
    bool write(std::string_view line);
    void flush();

    std::uint64_t size() const noexcept { return size_; }

private:
    RotatingFile(std::filesystem::path path, UniqueFd fd, std::uint64_t size, std::uint64_t max_bytes);
    bool rotate();
    bool write_through(std::string_view data);

    std::filesystem::path path_;
    UniqueFd fd_;
    std::vector<char> buffer_;
    std::size_t used_ = 0;
    std::uint64_t size_ = 0;
    std::uint64_t max_bytes_ = 0;
};

// The security event logs: alerts.log, traffic.log and errors.log in one directory,
// written by the `tarvo-log-writer` thread. Producers (the packet loop, the control
// plane) never wait: a line that finds the queue full is dropped and counted.
class AlertLogger {
public:
    enum class FileKind : std::uint8_t { Alerts = 0, Traffic = 1, Errors = 2 };

    // Creates `dir`, tests that it is writable and starts the writer. A queue depth of 0
    // accepts a line only while the writer is idle and waiting.
    static Expected<std::shared_ptr<AlertLogger>, std::string> init(std::filesystem::path dir,
                                                                    std::uint64_t depth,
                                                                    std::uint64_t max_file_size_mb);
    ~AlertLogger();  // writes out the queued lines, then ends the writer
    AlertLogger(const AlertLogger&) = delete;
    AlertLogger& operator=(const AlertLogger&) = delete;

    void log_block(std::string_view src_ip, std::string_view dst_ip, std::uint16_t src_port,
                   std::uint16_t dst_port, std::string_view protocol, std::string_view rule_id);
    void log_alert(std::string_view src_ip, std::string_view dst_ip, std::uint16_t src_port,
                   std::uint16_t dst_port, std::string_view protocol, std::string_view rule_id);
    void log_normal(std::string_view src_ip, std::string_view dst_ip, std::uint16_t src_port,
                    std::uint16_t dst_port, std::string_view protocol, std::string_view process);

    std::uint64_t drops() const noexcept { return drops_.load(std::memory_order_relaxed); }

    // Drops since the last report worth a report line: 1,000 or more.
    static bool drop_report_due(std::uint64_t total, std::uint64_t last_reported) {
        return total - last_reported >= 1000;
    }

    // Test hook: queue a ready line of `kind`.
    void queue_line(FileKind kind, std::string_view line);

private:
    AlertLogger(std::filesystem::path dir, std::size_t depth, std::uint64_t max_bytes);
    void writer_main();
    void decision(std::string_view word, std::string_view event, std::string_view message,
                  std::string_view src_ip, std::string_view dst_ip, std::uint16_t src_port,
                  std::uint16_t dst_port, std::string_view protocol, std::string_view rule_id);

    struct Slot {
        FileKind kind = FileKind::Alerts;
        std::string line;
    };

    std::filesystem::path dir_;
    std::size_t depth_;
    std::uint64_t max_bytes_;
    std::atomic<std::uint64_t> drops_{0};
    std::atomic<std::size_t> queued_{0};  // a lock-free first look for producers
    std::atomic<bool> writer_gone_{false};

    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<Slot> slots_;     // guarded by mutex_
    std::size_t head_ = 0;        // guarded by mutex_: next slot to take
    std::size_t count_ = 0;       // guarded by mutex_
    bool writer_waiting_ = false;  // guarded by mutex_
    bool stopping_ = false;        // guarded by mutex_
    std::thread writer_;
};

using AlertLoggerPtr = std::shared_ptr<AlertLogger>;

}  // namespace tarvo::logger
