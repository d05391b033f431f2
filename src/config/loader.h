#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/expected.h"

namespace tarvo::config {

enum class OperationMode : std::uint8_t { Block = 0, Monitor = 1, Off = 2 };

std::string_view describe(OperationMode mode);  // "Block", "Monitor", "Off"

struct ExportConfig {
    bool enabled = false;
    std::optional<std::string> webhook_url;
    std::optional<std::string> storage_path;
    std::optional<std::string> socket_addr;
    std::uint64_t batch_size = 50;
    std::uint64_t flush_interval_secs = 10;
    std::uint64_t webhook_timeout_secs = 5;
    std::uint32_t webhook_retry_count = 3;
};

struct DashboardConfig {
    bool enabled = true;
    std::string host = "127.0.0.1";
    std::uint16_t port = 7878;
};

struct FastPathConfig {
    bool enable_sampling = false;
    double sampling_rate_high = 0.3;
    bool enable_aggregation = false;
    std::uint64_t aggregation_window_ms = 1000;
};

struct BlockingConfig {
    std::string iptables_chain = "TARVO";
    std::uint64_t block_timeout_seconds = 3600;
    std::string default_action = "drop";
    bool enabled = true;
    bool auto_cleanup = true;
    bool flush_on_exit = false;
};

struct LoggingConfig {
    std::string level = "info";
    std::string file_path = "/var/log/tarvo/tarvo.log";
    bool json_format = true;
    std::uint64_t max_file_size_mb = 100;
    std::uint32_t rotation_count = 5;
    bool console_output = true;
    bool log_normal_traffic = false;
    std::uint64_t normal_sample_divisor = 100;
    std::uint64_t normal_ring_capacity = 200;
    std::uint64_t normal_channel_depth = 4096;
};

// The daemon's configuration, read once at startup and never changed. A default-built
// record is the built-in configuration used when no file exists.
struct TarvoConfig {
    OperationMode mode = OperationMode::Block;
    std::string capture_interface = "auto";
    bool promiscuous = true;
    std::uint64_t buffer_size_mb = 64;
    std::uint64_t timeout_ms = 10;
    std::uint32_t snaplen = 65535;
    std::optional<std::string> bpf_filter;
    std::vector<std::string> trusted_cidrs;
    ExportConfig export_section;  // the `export` section; the word is a C++ keyword
    DashboardConfig dashboard;
    FastPathConfig fast_path;
    BlockingConfig blocking;
    LoggingConfig logging;
};

inline constexpr const char* kConfigDirName = "configs";
inline constexpr const char* kPlatformFile = "tarvo.linux.yaml";
inline constexpr const char* kCommonFile = "tarvo.common.yaml";
inline constexpr const char* kRulesFile = "rules.yaml";

// The first of exe_dir/configs, exe_dir/../configs, exe_dir/../../configs that resolves
// to a directory (canonical path); otherwise the relative path "configs".
std::filesystem::path find_config_dir();
// The same search starting from a given executable path (symbolic links resolved).
std::filesystem::path find_config_dir_from(const std::filesystem::path& executable);

// Parses configuration text. The error names the problem and, where known, its line
// and column.
Expected<TarvoConfig, std::string> parse_config(std::string_view yaml);

// Loads tarvo.linux.yaml, else tarvo.common.yaml, else the built-in defaults (with a
// warning). A file that exists but cannot be read or parsed is an error.
Expected<TarvoConfig, std::string> load_config(const std::filesystem::path& dir);

}  // namespace tarvo::config
