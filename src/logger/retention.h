#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>

namespace tarvo::logger {

inline constexpr std::chrono::seconds kRetention{2'592'000};  // 30 days

struct RetentionResult {
    std::uint32_t files = 0;
    std::uint64_t freed_bytes = 0;
};

// Removes log files (a ".log" extension, or ".log." in the path) last modified before
// `now - kRetention`. Runs on a blocking-pool thread. nullopt when the directory cannot
// be listed (reported on standard error); per-file failures are skipped.
std::optional<RetentionResult> retention_pass(const std::filesystem::path& dir,
                                              std::chrono::system_clock::time_point now);

}  // namespace tarvo::logger
