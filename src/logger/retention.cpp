#include "logger/retention.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <fmt/format.h>

#include "logger/logger.h"

namespace tarvo::logger {
namespace {

bool is_candidate(const std::filesystem::path& path) {
    return path.extension() == ".log" || path.string().find(".log.") != std::string::npos;
}

}  // namespace

std::optional<RetentionResult> retention_pass(const std::filesystem::path& dir,
                                              std::chrono::system_clock::time_point now) {
    const auto cutoff = now - kRetention;
    std::error_code ec;
    std::filesystem::directory_iterator it(dir, ec);
    if (ec) {
        std::fprintf(stderr, "[TARVO] Log cleanup: cannot read dir %s: %s\n", dir.c_str(),
                     ec.message().c_str());
        return std::nullopt;
    }
    RetentionResult result;
    for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
        if (ec) break;
        const auto path = dir / it->path().filename();
        if (!is_candidate(path)) continue;
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) continue;
        const auto mtime = std::chrono::system_clock::time_point(
            std::chrono::duration_cast<std::chrono::system_clock::duration>(
                std::chrono::seconds(st.st_mtim.tv_sec) +
                std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
        if (mtime >= cutoff) continue;
        // unlink, not remove: a directory that happens to match is never deleted.
        if (::unlink(path.c_str()) != 0) continue;
        ++result.files;
        result.freed_bytes += static_cast<std::uint64_t>(st.st_size);
        debug("tarvo::logger", "Removed expired log file", {{"path", path.string()}});
    }
    info("tarvo::logger", "Log cleanup complete",
         {{"files", result.files},
          {"freed", fmt::format("{:.1f} MB", static_cast<double>(result.freed_bytes) / 1e6)}});
    return result;
}

}  // namespace tarvo::logger
