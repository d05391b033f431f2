#include "config/loader.h"

#include <array>
#include <charconv>
#include <cstdlib>
#include <functional>
#include <limits>
#include <set>

#include <fmt/format.h>
#include <yaml-cpp/yaml.h>

#include "logger/logger.h"
#include "util/strings.h"
#include "util/yaml.h"

namespace tarvo::config {
namespace {

constexpr std::string_view kTarget = "tarvo::config::loader";

using Error = std::string;
using Result = std::optional<Error>;  // nullopt: the value was taken

using yaml::ScalarType;
using yaml::where;

// How the YAML reader would name what it found, for "invalid type" errors.
std::string describe_node(const YAML::Node& node) {
    if (node.IsNull()) return "null";
    if (node.IsSequence()) return "sequence";
    if (node.IsMap()) return "map";
    const std::string& s = node.Scalar();
    switch (yaml::scalar_type(node)) {
        case ScalarType::Bool: return fmt::format("boolean `{}`", s);
        case ScalarType::Int: return fmt::format("integer `{}`", s);
        case ScalarType::Float: return fmt::format("floating point `{}`", s);
        default: return fmt::format("string \"{}\"", s);
    }
}

// The scalar type of `node`, or Null for a collection.
ScalarType type_of(const YAML::Node& node) {
    return node.IsScalar() || node.IsNull() ? yaml::scalar_type(node) : ScalarType::Null;
}

Error invalid_type(const std::string& key, const YAML::Node& node, std::string_view expected) {
    return fmt::format("{}: invalid type: {}, expected {}{}", key, describe_node(node), expected,
                       where(node));
}

Result read_bool(const std::string& key, const YAML::Node& node, bool& out) {
    if (type_of(node) == ScalarType::Bool && yaml::parse_bool_text(node.Scalar(), out)) {
        return std::nullopt;
    }
    return invalid_type(key, node, "a boolean");
}

template <typename U>
Result read_unsigned(const std::string& key, const YAML::Node& node, U& out) {
    constexpr int kBits = std::numeric_limits<U>::digits;
    const std::string expected = fmt::format("u{}", kBits);
    if (type_of(node) != ScalarType::Int) return invalid_type(key, node, expected);
    std::string_view s = node.Scalar();
    const bool negative = s.front() == '-';
    if (s.front() == '+' || negative) s.remove_prefix(1);
    std::uint64_t v = 0;
    const auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    const bool zero = ec == std::errc{} && v == 0;
    if (ec != std::errc{} || (negative && !zero) || v > std::numeric_limits<U>::max()) {
        return fmt::format("{}: invalid value: integer `{}`, expected {} (0 to {}){}", key,
                           node.Scalar(), expected, std::numeric_limits<U>::max(), where(node));
    }
    out = static_cast<U>(v);
    return std::nullopt;
}

Result read_float(const std::string& key, const YAML::Node& node, double& out) {
    const ScalarType t = type_of(node);
    if ((t == ScalarType::Int || t == ScalarType::Float) &&
        yaml::parse_float_text(node.Scalar(), out)) {
        return std::nullopt;
    }
    return invalid_type(key, node, "f64");
}

Result read_string(const std::string& key, const YAML::Node& node, std::string& out) {
    if (!yaml::is_string(node)) return invalid_type(key, node, "a string");
    out = node.Scalar();
    return std::nullopt;
}

Result read_optional_string(const std::string& key, const YAML::Node& node,
                            std::optional<std::string>& out) {
    if (node.IsNull()) {
        out.reset();
        return std::nullopt;
    }
    std::string s;
    if (auto err = read_string(key, node, s)) return err;
    out = std::move(s);
    return std::nullopt;
}

Result read_string_list(const std::string& key, const YAML::Node& node,
                        std::vector<std::string>& out) {
    out.clear();
    if (node.IsNull()) return std::nullopt;
    if (!node.IsSequence()) return invalid_type(key, node, "a sequence");
    for (const auto& item : node) {
        std::string s;
        if (auto err = read_string(key, item, s)) return err;
        out.push_back(std::move(s));
    }
    return std::nullopt;
}

Result read_mode(const std::string& key, const YAML::Node& node, OperationMode& out) {
    if (!node.IsScalar() || node.IsNull()) return invalid_type(key, node, "one of `Block`, `Monitor`, `Off`");
    const std::string& s = node.Scalar();
    static constexpr std::array kModes = {OperationMode::Block, OperationMode::Monitor,
                                          OperationMode::Off};
    for (const auto m : kModes) {
        if (s == describe(m)) {
            out = m;
            return std::nullopt;
        }
    }
    return fmt::format("{}: unknown variant `{}`, expected one of `Block`, `Monitor`, `Off`{}", key,
                       s, where(node));
}

using Handler = std::function<Result(const std::string& key, const YAML::Node&)>;
using Handlers = std::vector<std::pair<std::string_view, Handler>>;

// Walks one mapping: known keys go to their handler, unknown keys are ignored unread,
// a known key given twice is an error. `seen` receives the keys that were present.
Result read_mapping(const YAML::Node& map, const std::string& path, const Handlers& handlers,
                    std::set<std::string>& seen) {
    if (map.IsNull()) return std::nullopt;  // an empty section: its defaults
    if (!map.IsMap()) return invalid_type(path.empty() ? "configuration" : path, map, "a map");
    for (const auto& kv : map) {
        if (!kv.first.IsScalar()) continue;
        const std::string& name = kv.first.Scalar();
        const auto h = std::find_if(handlers.begin(), handlers.end(),
                                    [&](const auto& p) { return p.first == name; });
        if (h == handlers.end()) continue;
        const std::string key = path.empty() ? name : path + "." + name;
        if (!seen.insert(name).second) {
            return fmt::format("duplicate field `{}`{}", name, where(kv.first));
        }
        if (auto err = h->second(key, kv.second)) return err;
    }
    return std::nullopt;
}

template <typename T>
Handler field(T& target) {
    return [&target](const std::string& key, const YAML::Node& node) -> Result {
        if constexpr (std::is_same_v<T, bool>) {
            return read_bool(key, node, target);
        } else if constexpr (std::is_same_v<T, double>) {
            return read_float(key, node, target);
        } else if constexpr (std::is_integral_v<T>) {
            return read_unsigned(key, node, target);
        } else if constexpr (std::is_same_v<T, std::string>) {
            return read_string(key, node, target);
        } else if constexpr (std::is_same_v<T, std::optional<std::string>>) {
            return read_optional_string(key, node, target);
        } else if constexpr (std::is_same_v<T, std::vector<std::string>>) {
            return read_string_list(key, node, target);
        } else {
            static_assert(std::is_same_v<T, OperationMode>);
            return read_mode(key, node, target);
        }
    };
}

Handler section(Handlers handlers) {
    return [handlers = std::move(handlers)](const std::string& key, const YAML::Node& node) {
        std::set<std::string> seen;
        return read_mapping(node, key, handlers, seen);
    };
}

Result parse_into(const YAML::Node& root, TarvoConfig& c) {
    auto& e = c.export_section;
    auto& d = c.dashboard;
    auto& f = c.fast_path;
    auto& b = c.blocking;
    auto& l = c.logging;
    const Handlers top = {
        {"mode", field(c.mode)},
        {"capture_interface", field(c.capture_interface)},
        {"promiscuous", field(c.promiscuous)},
        {"buffer_size_mb", field(c.buffer_size_mb)},
        {"timeout_ms", field(c.timeout_ms)},
        {"snaplen", field(c.snaplen)},
        {"bpf_filter", field(c.bpf_filter)},
        {"trusted_cidrs", field(c.trusted_cidrs)},
        {"export", section({{"enabled", field(e.enabled)},
                            {"webhook_url", field(e.webhook_url)},
                            {"storage_path", field(e.storage_path)},
                            {"socket_addr", field(e.socket_addr)},
                            {"batch_size", field(e.batch_size)},
                            {"flush_interval_secs", field(e.flush_interval_secs)},
                            {"webhook_timeout_secs", field(e.webhook_timeout_secs)},
                            {"webhook_retry_count", field(e.webhook_retry_count)}})},
        {"dashboard",
         section({{"enabled", field(d.enabled)}, {"host", field(d.host)}, {"port", field(d.port)}})},
        {"fast_path", section({{"enable_sampling", field(f.enable_sampling)},
                               {"sampling_rate_high", field(f.sampling_rate_high)},
                               {"enable_aggregation", field(f.enable_aggregation)},
                               {"aggregation_window_ms", field(f.aggregation_window_ms)}})},
        {"blocking", section({{"iptables_chain", field(b.iptables_chain)},
                              {"block_timeout_seconds", field(b.block_timeout_seconds)},
                              {"default_action", field(b.default_action)},
                              {"enabled", field(b.enabled)},
                              {"auto_cleanup", field(b.auto_cleanup)},
                              {"flush_on_exit", field(b.flush_on_exit)}})},
        {"logging", section({{"level", field(l.level)},
                             {"file_path", field(l.file_path)},
                             {"json_format", field(l.json_format)},
                             {"max_file_size_mb", field(l.max_file_size_mb)},
                             {"rotation_count", field(l.rotation_count)},
                             {"console_output", field(l.console_output)},
                             {"log_normal_traffic", field(l.log_normal_traffic)},
                             {"normal_sample_divisor", field(l.normal_sample_divisor)},
                             {"normal_ring_capacity", field(l.normal_ring_capacity)},
                             {"normal_channel_depth", field(l.normal_channel_depth)}})},
    };
    if (root.IsNull()) {
        return fmt::format("invalid type: empty document, expected a map of configuration keys");
    }
    if (!root.IsMap()) return invalid_type("configuration", root, "a map");
    std::set<std::string> seen;
    if (auto err = read_mapping(root, "", top, seen)) return err;
    for (const char* required :
         {"mode", "capture_interface", "promiscuous", "buffer_size_mb", "timeout_ms", "snaplen"}) {
        if (seen.count(required) == 0) return fmt::format("missing field `{}`", required);
    }
    return std::nullopt;
}

Expected<TarvoConfig, std::string> load_file(const std::filesystem::path& path) {
    const auto text = read_whole_file(path);
    if (!text) {
        return Unexpected(fmt::format("Cannot read {}: {}", path.string(), errno_text(text.error())));
    }
    auto parsed = parse_config(*text);
    if (!parsed) {
        return Unexpected(fmt::format("Invalid configuration {}: {}", path.string(), parsed.error()));
    }
    return parsed;
}

}  // namespace

std::string_view describe(OperationMode mode) {
    switch (mode) {
        case OperationMode::Block: return "Block";
        case OperationMode::Monitor: return "Monitor";
        case OperationMode::Off: return "Off";
    }
    return "Block";
}

std::filesystem::path find_config_dir_from(const std::filesystem::path& executable) {
    std::error_code ec;
    std::filesystem::path exe = std::filesystem::canonical(executable, ec);
    if (ec) exe = executable;
    const auto dir = exe.parent_path();
    if (!dir.empty() && dir != exe) {
        for (const auto& candidate : {dir / kConfigDirName, dir / ".." / kConfigDirName,
                                      dir / "../.." / kConfigDirName}) {
            const auto resolved = std::filesystem::canonical(candidate, ec);
            if (!ec && std::filesystem::is_directory(resolved, ec)) return resolved;
        }
    }
    return kConfigDirName;
}

std::filesystem::path find_config_dir() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return kConfigDirName;
    return find_config_dir_from(exe);
}

Expected<TarvoConfig, std::string> parse_config(std::string_view yaml) {
    if (!is_valid_utf8(yaml)) return Unexpected(std::string("the file is not valid UTF-8"));
    TarvoConfig config;
    if (auto trap = yaml::reader_trap(yaml)) return Unexpected(std::move(*trap));
    try {
        const YAML::Node root = YAML::Load(std::string(yaml));
        if (auto err = parse_into(root, config)) return Unexpected(std::move(*err));
    } catch (const YAML::Exception& ex) {
        if (ex.mark.is_null()) return Unexpected(ex.msg);
        return Unexpected(
            fmt::format("{} at line {} column {}", ex.msg, ex.mark.line + 1, ex.mark.column + 1));
    }
    return config;
}

Expected<TarvoConfig, std::string> load_config(const std::filesystem::path& dir) {
    std::error_code ec;
    const auto platform = dir / kPlatformFile;
    const auto common = dir / kCommonFile;
    if (std::filesystem::status(platform, ec).type() != std::filesystem::file_type::not_found && !ec) {
        auto c = load_file(platform);
        if (c) logger::info(kTarget, fmt::format("Loaded platform config: {}", platform.string()));
        return c;
    }
    if (std::filesystem::status(common, ec).type() != std::filesystem::file_type::not_found && !ec) {
        auto c = load_file(common);
        if (c) logger::info(kTarget, fmt::format("Loaded common config: {}", common.string()));
        return c;
    }
    logger::warn(kTarget,
                 fmt::format("No config file found in {} — using built-in defaults", dir.string()));
    return TarvoConfig{};
}

}  // namespace tarvo::config
