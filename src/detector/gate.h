#pragma once

#include <algorithm>
#include <bitset>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/ip.h"
#include "util/ip_ranges.h"

namespace tarvo::detector {

// Which process list a packet's process belongs to; list B is checked first.
enum class ProcessClass : std::uint8_t { Neither, BusyTool /* list A */, KnownApp /* list B */ };

ProcessClass classify_named(std::string_view process_name);
inline ProcessClass classify_process(std::optional<std::string_view> process_name) {
    return process_name ? classify_named(*process_name) : ProcessClass::Neither;
}

inline bool is_private_v4(std::uint32_t v) {
    return (v >> 24U) == 10 || (v >> 20U) == 0xAC1U /* 172.16/12 */ || (v >> 16U) == 0xC0A8U;
}

bool inbound_to_inside_any(const IpAddr& src, const IpAddr& dst);

// Destination loopback, or private while the source is not: traffic coming in to us.
// Inline for IPv4, which every packet of the usual mix asks about.
inline bool inbound_to_inside(const IpAddr& src, const IpAddr& dst) {
    if (!src.is_v4() || !dst.is_v4()) return inbound_to_inside_any(src, dst);
    const std::uint32_t d = dst.v4_value();
    if ((d >> 24U) == 127) return true;
    return is_private_v4(d) && !is_private_v4(src.v4_value());
}

// Decides which sources the detectors look at: not our own addresses, not the
// operator's trusted networks, not special-purpose ranges, not the built-in trusted
// networks. Built once at startup; read by the packet loop.
class DetectionGate {
public:
    DetectionGate();
    // Entries of `trusted_cidrs` that do not parse are skipped with a warning.
    DetectionGate(const std::vector<IpAddr>& local_addresses, const std::vector<std::string>& trusted_cidrs);

    // Asked for nearly every packet, so IPv4 is answered here with whole-word tests.
    bool inspect(const IpAddr& src) const {
        if (!src.is_v4()) return inspect_v6(src);
        const std::uint32_t v = src.v4_value();
        if ((v >> 24U) == 127 || (v >> 16U) == 0xA9FEU || (v >> 24U) >= 224) return false;
        if (excluded_.contains_v4(v)) return false;
        // Most addresses lie in no /16 block that a built-in network touches.
        return !builtin_blocks_->test(v >> 16U) || !in_builtin_ranges(v);
    }

    std::size_t trusted_count() const { return trusted_count_; }

private:
    bool inspect_v6(const IpAddr& src) const;
    // The built-in trusted networks (IPv4 only), merged into ranges.
    static bool in_builtin_ranges(std::uint32_t v);

    IpRanges excluded_;  // our own addresses and the trusted networks
    std::size_t trusted_count_ = 0;
    const std::bitset<65536>* builtin_blocks_;
};

}  // namespace tarvo::detector
