#include "logger/alert.h"

#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>

#include <fmt/format.h>

#include "logger/logger.h"
#include "util/strings.h"

namespace tarvo::logger {
namespace {

constexpr std::string_view kTarget = "tarvo::logger::alert";
constexpr std::size_t kBatchLines = 129;
constexpr auto kIdleWait = std::chrono::milliseconds(10);
constexpr std::array<const char*, 3> kFileNames = {"alerts.log", "traffic.log", "errors.log"};

// The text of the current second, formatted once per second and thread: the clock
// refresher runs every millisecond and each line asks too, while localtime_r and
// strftime cost thousands of instructions.
struct SecondText {
    std::time_t secs = std::numeric_limits<std::time_t>::min();
    std::tm tm{};
    std::array<char, 32> date{};  // "%Y-%m-%dT%H:%M:%S"
    std::size_t date_len = 0;
    std::array<char, 8> zone{};   // "%z"
    std::size_t zone_len = 0;

    std::string_view clock() const {  // "%H:%M:%S", the tail of the date
        return date_len >= 8 ? std::string_view(date.data() + date_len - 8, 8) : std::string_view{};
    }
};

struct Now {
    const SecondText& second;
    unsigned millis;
};

Now cached_now() {
    thread_local SecondText cache;
    const auto now = std::chrono::system_clock::now();
    const auto second = std::chrono::floor<std::chrono::seconds>(now);
    const std::time_t secs = std::chrono::system_clock::to_time_t(second);
    if (secs != cache.secs) {
        localtime_r(&secs, &cache.tm);
        cache.date_len = std::strftime(cache.date.data(), cache.date.size(), "%Y-%m-%dT%H:%M:%S", &cache.tm);
        cache.zone_len = std::strftime(cache.zone.data(), cache.zone.size(), "%z", &cache.tm);
        cache.secs = secs;
    }
    return {cache, static_cast<unsigned>(
                       std::chrono::duration_cast<std::chrono::milliseconds>(now - second).count())};
}

// ".mmm"
std::array<char, 4> millis_text(unsigned millis) {
    return {'.', static_cast<char>('0' + millis / 100), static_cast<char>('0' + millis / 10 % 10),
            static_cast<char>('0' + millis % 10)};
}

std::string rotation_stamp() {
    const Now n = cached_now();
    char buf[32];
    const std::size_t len = std::strftime(buf, sizeof buf, "%Y%m%d-%H%M%S", &n.second.tm);
    return {buf, len};
}

Expected<UniqueFd, std::string> open_append(const std::filesystem::path& path) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
    if (!fd) return Unexpected(errno_text(errno));
    return fd;
}

}  // namespace

std::string_view describe(LogLevel level) {
    switch (level) {
        case LogLevel::Block: return "block";
        case LogLevel::Alert: return "alert";
        case LogLevel::Normal: return "normal";
        case LogLevel::Threat: return "threat";
        case LogLevel::Error: return "error";
    }
    return "error";
}

std::string_view cut_chars(std::string_view text, std::size_t n) {
    std::size_t chars = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0U) != 0x80U) {
            if (chars == n) return text.substr(0, i);
            ++chars;
        }
    }
    return text;
}

LogEntry LogEntry::make(std::string_view time, LogLevel level, std::string_view src_ip,
                        std::string_view dst_ip, std::uint16_t src_port, std::uint16_t dst_port,
                        std::string_view proto, std::string_view process, std::string_view detail) {
    LogEntry e;
    e.time = time;
    e.level = level;
    e.src_ip = src_ip;
    e.dst_ip = dst_ip;
    e.src_port = src_port;
    e.dst_port = dst_port;
    e.proto = proto;
    e.process = cut_chars(process, 32);
    e.detail = level == LogLevel::Normal ? detail : cut_chars(detail, 64);
    return e;
}

ClockCache::Text local_clock_text() {
    const Now n = cached_now();
    ClockCache::Text t;
    const std::string_view clock = n.second.clock();
    const auto millis = millis_text(n.millis);
    auto* out = std::copy(clock.begin(), clock.end(), t.buf.begin());
    out = std::copy(millis.begin(), millis.end(), out);
    t.len = static_cast<std::size_t>(out - t.buf.begin());
    return t;
}

void append_line_timestamp(fmt::memory_buffer& out) {
    const Now n = cached_now();
    const auto millis = millis_text(n.millis);
    out.append(n.second.date.data(), n.second.date.data() + n.second.date_len);
    out.append(millis.data(), millis.data() + millis.size());
    out.append(n.second.zone.data(), n.second.zone.data() + n.second.zone_len);
}

std::string local_line_timestamp() {
    fmt::memory_buffer buf;
    append_line_timestamp(buf);
    return fmt::to_string(buf);
}

ClockCache::ClockCache() { refresh(); }

void ClockCache::refresh() {
    const Text t = local_clock_text();
    std::lock_guard lock(mutex_);
    text_ = t;
}

ClockCache::Text ClockCache::text() const {
    std::lock_guard lock(mutex_);
    return text_;
}

RotatingFile::RotatingFile(std::filesystem::path path, UniqueFd fd, std::uint64_t size,
                           std::uint64_t max_bytes)
    : path_(std::move(path)),
      fd_(std::move(fd)),
      buffer_(kBufferBytes),
      size_(size),
      max_bytes_(max_bytes) {}

RotatingFile::~RotatingFile() { flush(); }

Expected<RotatingFile, std::string> RotatingFile::open(std::filesystem::path path,
                                                       std::uint64_t max_bytes) {
    std::error_code ec;
    if (path.has_parent_path()) {
        std::filesystem::create_directories(path.parent_path(), ec);
        if (ec) return Unexpected(ec.message());
    }
    auto fd = open_append(path);
    if (!fd) return Unexpected(fd.error());
    struct stat st {};
    const std::uint64_t size =
        ::fstat(fd->get(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    return RotatingFile(std::move(path), std::move(*fd), size, max_bytes);
}

bool RotatingFile::write_through(std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd_.get(), data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void RotatingFile::flush() {
    if (used_ == 0 || !fd_) return;
    (void)write_through({buffer_.data(), used_});
    used_ = 0;
}

bool RotatingFile::rotate() {
    if (used_ > 0) {
        const bool ok = write_through({buffer_.data(), used_});
        used_ = 0;
        if (!ok) return false;
    }
    // Two rotations within one second must not overwrite the first copy: later ones get
    // a suffix one above the highest already present (pruning may have removed lower
    // ones), zero-padded so that name order stays age order. The kernel still refuses
    // to replace an existing name.
    const std::string base = path_.string() + "." + rotation_stamp();
    const std::string base_name = std::filesystem::path(base).filename().string();
    const auto dir = path_.has_parent_path() ? path_.parent_path() : std::filesystem::path(".");
    std::error_code ec;
    unsigned next = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        const std::string name = entry.path().filename().string();
        if (name == base_name) {
            next = std::max(next, 1U);
        } else if (name.size() == base_name.size() + 7 && name.starts_with(base_name + ".")) {
            next = std::max(next, static_cast<unsigned>(std::strtoul(name.c_str() + base_name.size() + 1, nullptr, 10)) + 1);
        }
    }
    for (unsigned n = next; n < 1'000'000; ++n) {
        const std::string target = n == 0 ? base : fmt::format("{}.{:06}", base, n);
        if (::renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0 ||
            errno != EEXIST) {
            break;
        }
    }
    // Keep the newest copies: names sort by age because the stamp leads with the year.
    const std::string live = path_.filename().string();
    std::vector<std::filesystem::path> copies;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.size() > live.size() && name.starts_with(live)) copies.push_back(entry.path());
    }
    std::sort(copies.begin(), copies.end(), std::greater<>());
    for (std::size_t i = kKeptCopies; i < copies.size(); ++i) std::filesystem::remove(copies[i], ec);

    auto fd = open_append(path_);
    if (!fd) {
        fd_.reset();
        return false;
    }
    fd_ = std::move(*fd);
    size_ = 0;
    return true;
}

bool RotatingFile::write(std::string_view line) {
    if (size_ >= max_bytes_ || !fd_) {
        if (!rotate()) return false;
    }
    size_ += line.size();
    if (line.size() >= kBufferBytes) {
        flush();
        return write_through(line);
    }
    if (line.size() > kBufferBytes - used_) flush();
    std::copy(line.begin(), line.end(), buffer_.begin() + static_cast<std::ptrdiff_t>(used_));
    used_ += line.size();
    return true;
}

AlertLogger::AlertLogger(std::filesystem::path dir, std::size_t depth, std::uint64_t max_bytes)
    : dir_(std::move(dir)), depth_(depth), max_bytes_(max_bytes), slots_(std::max<std::size_t>(depth, 1)) {}

Expected<std::shared_ptr<AlertLogger>, std::string> AlertLogger::init(std::filesystem::path dir,
                                                                      std::uint64_t depth,
                                                                      std::uint64_t max_file_size_mb) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) return Unexpected(fmt::format("cannot create {}: {}", dir.string(), ec.message()));
    const auto probe = dir / ".tarvo_write_test";
    UniqueFd fd(::open(probe.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd) return Unexpected(fmt::format("cannot write to {}: {}", dir.string(), errno_text(errno)));
    fd.reset();
    ::unlink(probe.c_str());

    // Sizes that do not fit in 64 bits mean "never rotate".
    const std::uint64_t max_bytes = max_file_size_mb > std::numeric_limits<std::uint64_t>::max() / 1'000'000
                                        ? std::numeric_limits<std::uint64_t>::max()
                                        : max_file_size_mb * 1'000'000;
    // A queue deeper than memory allows is no deeper in practice.
    const auto slots = static_cast<std::size_t>(std::min<std::uint64_t>(depth, 1U << 20U));
    std::shared_ptr<AlertLogger> logger(new AlertLogger(std::move(dir), slots, max_bytes));
    logger->writer_ = std::thread([raw = logger.get()] { raw->writer_main(); });
    return logger;
}

AlertLogger::~AlertLogger() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (writer_.joinable()) writer_.join();
}

void AlertLogger::queue_line(FileKind kind, std::string_view line) {
    if (writer_gone_.load(std::memory_order_relaxed)) return;
    // The common full case costs one load and one increment, without the lock.
    if (depth_ > 0 && queued_.load(std::memory_order_relaxed) >= depth_) {
        drops_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        const bool room = depth_ == 0 ? writer_waiting_ && count_ == 0 : count_ < depth_;
        if (!room || stopping_) {
            drops_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        Slot& slot = slots_[(head_ + count_) % slots_.size()];
        slot.kind = kind;
        slot.line.assign(line);  // reuses the slot's allocation
        ++count_;
        queued_.store(count_, std::memory_order_relaxed);
    }
    wake_.notify_one();
}

void AlertLogger::writer_main() {
    pthread_setname_np(pthread_self(), "tarvo-log-writer");
    std::vector<RotatingFile> files;
    for (const char* name : kFileNames) {
        auto f = RotatingFile::open(dir_ / name, max_bytes_);
        if (!f) {
            std::fprintf(stderr, "[TARVO] Failed to open %s: %s\n", name, f.error().c_str());
            files.clear();
            writer_gone_.store(true);
            return;
        }
        files.push_back(std::move(*f));
    }
    std::uint64_t last_reported = 0;
    std::vector<Slot> batch(kBatchLines);
    for (;;) {
        std::size_t taken = 0;
        bool stop = false;
        {
            std::unique_lock lock(mutex_);
            writer_waiting_ = true;
            wake_.wait_for(lock, kIdleWait, [this] { return count_ > 0 || stopping_; });
            writer_waiting_ = false;
            while (count_ > 0 && taken < kBatchLines) {
                Slot& slot = slots_[head_];
                batch[taken].kind = slot.kind;
                batch[taken].line.swap(slot.line);
                ++taken;
                head_ = (head_ + 1) % slots_.size();
                --count_;
            }
            queued_.store(count_, std::memory_order_relaxed);
            stop = stopping_ && count_ == 0;
        }
        for (std::size_t i = 0; i < taken; ++i) {
            (void)files[static_cast<std::size_t>(batch[i].kind)].write(batch[i].line);
        }
        for (auto& f : files) f.flush();
        if (taken == 0) {
            const std::uint64_t total = drops_.load(std::memory_order_relaxed);
            if (drop_report_due(total, last_reported)) {
                const std::string report =
                    fmt::format("[{}] ERROR type=log_drop dropped={} total_drops={}\n",
                                local_line_timestamp(), total - last_reported, total);
                last_reported = total;
                (void)files[static_cast<std::size_t>(FileKind::Errors)].write(report);
                files[static_cast<std::size_t>(FileKind::Errors)].flush();
            }
        }
        if (stop) break;
    }
}

void AlertLogger::decision(std::string_view word, std::string_view event, std::string_view message,
                           std::string_view src_ip, std::string_view dst_ip, std::uint16_t src_port,
                           std::uint16_t dst_port, std::string_view protocol,
                           std::string_view rule_id) {
    // Lines are built in a reused per-thread buffer: no allocation on the packet path.
    thread_local fmt::memory_buffer line;
    line.clear();
    line.push_back('[');
    append_line_timestamp(line);
    fmt::format_to(std::back_inserter(line), "] {} src={}:{} dst={}:{} proto={} rule={}\n", word,
                   src_ip, src_port, dst_ip, dst_port, protocol, rule_id);
    queue_line(FileKind::Alerts, {line.data(), line.size()});
    warn(kTarget, message,
         {{"event", event}, {"src_ip", src_ip}, {"dst_ip", dst_ip}, {"src_port", src_port},
          {"dst_port", dst_port}, {"protocol", protocol}, {"rule_id", rule_id}});
}

void AlertLogger::log_block(std::string_view src_ip, std::string_view dst_ip, std::uint16_t src_port,
                            std::uint16_t dst_port, std::string_view protocol,
                            std::string_view rule_id) {
    decision("BLOCK", "BLOCK", "Connection blocked", src_ip, dst_ip, src_port, dst_port, protocol,
             rule_id);
}

void AlertLogger::log_alert(std::string_view src_ip, std::string_view dst_ip, std::uint16_t src_port,
                            std::uint16_t dst_port, std::string_view protocol,
                            std::string_view rule_id) {
    decision("ALERT", "ALERT", "Traffic alert", src_ip, dst_ip, src_port, dst_port, protocol,
             rule_id);
}

void AlertLogger::log_normal(std::string_view src_ip, std::string_view dst_ip, std::uint16_t src_port,
                             std::uint16_t dst_port, std::string_view protocol,
                             std::string_view process) {
    thread_local fmt::memory_buffer line;
    line.clear();
    line.push_back('[');
    append_line_timestamp(line);
    fmt::format_to(std::back_inserter(line), "] NORMAL src={}:{} dst={}:{} proto={} proc={}\n",
                   src_ip, src_port, dst_ip, dst_port, protocol, process);
    queue_line(FileKind::Traffic, {line.data(), line.size()});
}

}  // namespace tarvo::logger
