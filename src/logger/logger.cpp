#include "logger/logger.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "util/strings.h"

namespace tarvo::logger {
namespace {

bool is_target_char(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == ':' || c == '-';
}

std::optional<Level> parse_level(std::string_view s) {
    const std::string l = to_lower(s);
    if (l == "off") return Level::Off;
    if (l == "error") return Level::Error;
    if (l == "warn" || l == "warning") return Level::Warn;
    if (l == "info") return Level::Info;
    if (l == "debug") return Level::Debug;
    if (l == "trace") return Level::Trace;
    return std::nullopt;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())) != 0) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())) != 0) s.remove_suffix(1);
    return s;
}

std::string_view relative_file(const char* file) {
    std::string_view f(file);
    constexpr std::string_view kRoot = TARVO_SOURCE_DIR;
    if (f.starts_with(kRoot)) f.remove_prefix(kRoot.size());
    return f;
}

std::uint64_t this_thread_number() {
    static std::atomic<std::uint64_t> next{1};
    thread_local const std::uint64_t number = next.fetch_add(1);
    return number;
}

std::tm utc_tm(Clock::time_point t) {
    const std::time_t secs = Clock::to_time_t(t);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    return tm;
}

nlohmann::ordered_json field_json(const FieldValue& v) {
    return std::visit([](const auto& x) { return nlohmann::ordered_json(x); }, v.get());
}

void append_terminal_value(std::string& out, const FieldValue& v) {
    std::visit(
        [&out](const auto& x) {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, std::string>) {
                out += '"';
                for (const char c : x) {
                    if (c == '"' || c == '\\') out += '\\';
                    out += c;
                }
                out += '"';
            } else if constexpr (std::is_same_v<T, bool>) {
                out += x ? "true" : "false";
            } else {
                out += fmt::format("{}", x);
            }
        },
        v.get());
}

const char* level_colour(Level level) {
    switch (level) {
        case Level::Error: return "\x1b[31m";
        case Level::Warn: return "\x1b[33m";
        case Level::Info: return "\x1b[32m";
        case Level::Debug: return "\x1b[34m";
        case Level::Trace: return "\x1b[35m";
        case Level::Off: break;
    }
    return "";
}

// What setup installs; emitters read it under the shared lock.
struct Installed {
    Filter filter;
    bool colour = true;
    std::FILE* terminal = stdout;
    std::unique_ptr<FileWriter> file;
};

std::shared_mutex g_state_mutex;
std::unique_ptr<Installed> g_state;  // guarded by g_state_mutex
std::mutex g_terminal_mutex;  // one event's three lines stay together

}  // namespace

std::string_view level_name(Level level) {
    switch (level) {
        case Level::Error: return "ERROR";
        case Level::Warn: return "WARN";
        case Level::Info: return "INFO";
        case Level::Debug: return "DEBUG";
        case Level::Trace: return "TRACE";
        case Level::Off: break;
    }
    return "OFF";
}

std::optional<Filter> Filter::parse(std::string_view text) {
    Filter f;
    bool any = false;
    bool have_default = false;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        const std::size_t comma = std::min(text.find(',', pos), text.size());
        const std::string_view piece = trim(text.substr(pos, comma - pos));
        pos = comma + 1;
        if (piece.empty()) continue;
        any = true;
        const std::size_t eq = piece.find('=');
        std::string_view target;
        std::optional<Level> level;
        if (eq == std::string_view::npos) {
            level = parse_level(piece);
            if (!level) {
                target = piece;  // a bare target enables everything below it
                level = Level::Trace;
            }
        } else {
            target = trim(piece.substr(0, eq));
            level = parse_level(trim(piece.substr(eq + 1)));
            if (!level || target.empty()) return std::nullopt;
        }
        if (target.empty()) {
            f.default_ = *level;
            have_default = true;
            continue;
        }
        if (!std::all_of(target.begin(), target.end(), is_target_char)) return std::nullopt;
        f.targets_.emplace_back(std::string(target), *level);
    }
    if (!any) return std::nullopt;
    if (!have_default) f.default_ = Level::Info;
    std::stable_sort(f.targets_.begin(), f.targets_.end(),
                     [](const auto& a, const auto& b) { return a.first.size() > b.first.size(); });
    f.max_ = f.default_;
    for (const auto& t : f.targets_) f.max_ = std::max(f.max_, t.second);
    return f;
}

Filter Filter::from_env_value(const std::optional<std::string>& value) {
    if (value) {
        if (auto f = parse(*value)) return *f;
    }
    return Filter{};
}

bool Filter::enabled(Level level, std::string_view target) const {
    if (level > max_ || level == Level::Off) return false;
    for (const auto& [prefix, max] : targets_) {
        if (target.starts_with(prefix) &&
            (target.size() == prefix.size() || target.substr(prefix.size()).starts_with("::"))) {
            return level <= max;
        }
    }
    return level <= default_;
}

std::string utc_timestamp(Clock::time_point t) {
    const std::tm tm = utc_tm(t);
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count() %
        1'000'000;
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:06}Z", tm.tm_year + 1900,
                       tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                       micros < 0 ? micros + 1'000'000 : micros);
}

std::string utc_date(Clock::time_point t) {
    const std::tm tm = utc_tm(t);
    return fmt::format("{:04}-{:02}-{:02}", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
}

std::string format_json_line(const Event& e) {
    nlohmann::ordered_json fields = nlohmann::ordered_json::object();
    fields["message"] = e.message;
    for (const auto& f : e.fields) fields[f.name] = field_json(f.value);
    nlohmann::ordered_json j = nlohmann::ordered_json::object();
    j["timestamp"] = utc_timestamp(e.time);
    j["level"] = level_name(e.level);
    j["fields"] = std::move(fields);
    j["target"] = e.target;
    j["filename"] = e.file;
    j["line_number"] = e.line;
    j["threadId"] = fmt::format("ThreadId({})", e.thread_number);
    // Invalid UTF-8 in a message must not cost the line.
    return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string format_terminal(const Event& e, bool colour) {
    std::string out = "  ";
    const std::string ts = utc_timestamp(e.time);
    const std::string level = fmt::format("{:>5}", level_name(e.level));
    if (colour) {
        out += fmt::format("\x1b[2m{}\x1b[0m {}{}\x1b[0m  {}{}\x1b[0m", ts, level_colour(e.level),
                           level, level_colour(e.level), e.message);
    } else {
        out += fmt::format("{} {}  {}", ts, level, e.message);
    }
    for (const auto& f : e.fields) {
        out += ", ";
        out += colour ? fmt::format("\x1b[3m{}\x1b[0m", f.name) : f.name;
        out += ": ";
        append_terminal_value(out, f.value);
    }
    out += fmt::format("\n    at {}:{}\n\n", e.file, e.line);
    return out;
}

struct FileWriter::State {
    std::filesystem::path dir;
    std::size_t capacity = 0;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::pair<std::string, std::string>> queue;  // guarded by mutex
    bool stopping = false;                                   // guarded by mutex
    std::atomic<std::uint64_t> dropped{0};
    std::thread thread;

    void run() {
        pthread_setname_np(pthread_self(), "tarvo-log-file");
        std::FILE* file = nullptr;
        std::string open_date;
        bool reported = false;
        std::deque<std::pair<std::string, std::string>> batch;
        for (;;) {
            {
                std::unique_lock lock(mutex);
                wake.wait(lock, [this] { return stopping || !queue.empty(); });
                if (queue.empty() && stopping) break;
                batch.swap(queue);
            }
            for (auto& [date, line] : batch) {
                if (file == nullptr || date != open_date) {
                    if (file != nullptr) std::fclose(file);
                    const auto path = dir / ("tarvo.log." + date);
                    file = std::fopen(path.c_str(), "ae");
                    open_date = date;
                    if (file == nullptr && !reported) {
                        std::fprintf(stderr, "[TARVO] Cannot open log file %s: %s\n", path.c_str(),
                                     errno_text(errno).c_str());
                        reported = true;
                    }
                }
                if (file != nullptr) {
                    std::fwrite(line.data(), 1, line.size(), file);
                    std::fputc('\n', file);
                }
            }
            batch.clear();
            if (file != nullptr) std::fflush(file);
        }
        if (file != nullptr) std::fclose(file);
    }
};

FileWriter::FileWriter(std::filesystem::path dir, std::size_t capacity)
    : state_(std::make_unique<State>()) {
    state_->dir = std::move(dir);
    state_->capacity = capacity;
    state_->thread = std::thread([s = state_.get()] { s->run(); });
}

FileWriter::~FileWriter() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
    }
    state_->wake.notify_one();
    state_->thread.join();
}

bool FileWriter::push(std::string date, std::string line) {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->queue.size() >= state_->capacity || state_->stopping) {
            state_->dropped.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        state_->queue.emplace_back(std::move(date), std::move(line));
    }
    state_->wake.notify_one();
    return true;
}

std::uint64_t FileWriter::dropped() const noexcept {
    return state_->dropped.load(std::memory_order_relaxed);
}

Guard& Guard::operator=(Guard&& o) noexcept {
    if (this != &o) {
        this->~Guard();
        active_ = std::exchange(o.active_, false);
    }
    return *this;
}

Guard::~Guard() {
    if (!active_) return;
    active_ = false;
    debug("tarvo::logger", "Logger shutting down — flushing log buffers");
    std::unique_ptr<Installed> old;
    {
        std::unique_lock lock(g_state_mutex);
        old = std::move(g_state);
    }
    // Destroying the writer writes out the queued lines before its thread ends.
}

Expected<Guard, std::string> setup(const Options& options) {
    std::error_code ec;
    std::filesystem::create_directories(options.log_dir, ec);
    if (ec) {
        return Unexpected(fmt::format("Cannot create log directory {}: {}",
                                      options.log_dir.string(), ec.message()));
    }
    const auto probe = options.log_dir / ".tarvo_write_test";
    const int fd = ::open(probe.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return Unexpected(
            fmt::format("Cannot write to log directory {}: {}. Check directory permissions.",
                        options.log_dir.string(), errno_text(errno)));
    }
    ::close(fd);
    ::unlink(probe.c_str());

    auto installed = std::make_unique<Installed>();
    installed->filter = Filter::from_env_value(options.filter_env);
    installed->colour = options.colour;
    installed->terminal = options.terminal;
    installed->file = std::make_unique<FileWriter>(options.log_dir, options.file_queue_lines);
    {
        std::unique_lock lock(g_state_mutex);
        g_state = std::move(installed);
    }
    info("tarvo::logger", "Logger initialised (dual: file + console)",
         {{"log_dir", options.log_dir.string()}, {"retention_days", 30}});
    return Guard(true);
}

bool enabled(Level level, std::string_view target) {
    std::shared_lock lock(g_state_mutex);
    return g_state && g_state->filter.enabled(level, target);
}

void emit(Level level, std::string_view target, std::string_view message,
          std::initializer_list<Field> fields, const CallSite& loc) {
    std::shared_lock lock(g_state_mutex);
    if (!g_state || !g_state->filter.enabled(level, target)) return;
    Event e;
    e.level = level;
    e.target = target;
    e.message = message;
    e.fields.assign(fields.begin(), fields.end());
    e.file = relative_file(loc.file);
    e.line = loc.line;
    e.time = Clock::now();
    e.thread_number = this_thread_number();

    const std::string term = format_terminal(e, g_state->colour);
    {
        std::lock_guard out(g_terminal_mutex);
        std::fwrite(term.data(), 1, term.size(), g_state->terminal);
        std::fflush(g_state->terminal);
    }
    if (g_state->file) g_state->file->push(utc_date(e.time), format_json_line(e));
}


}  // namespace tarvo::logger

namespace tarvo::logger {

void write_stdout(std::string_view text) {
    std::lock_guard out(g_terminal_mutex);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

}  // namespace tarvo::logger
