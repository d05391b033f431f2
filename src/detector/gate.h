#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/ip.h"

namespace tarvo::detector {

// Which process list a packet's process belongs to; list B is checked first.
enum class ProcessClass : std::uint8_t { Neither, BusyTool /* list A */, KnownApp /* list B */ };

ProcessClass classify_process(std::optional<std::string_view> process_name);

// Destination loopback, or private while the source is not: traffic coming in to us.
bool inbound_to_inside(const IpAddr& src, const IpAddr& dst);

// Decides which sources the detectors look at: not our own addresses, not the
// operator's trusted networks, not special-purpose ranges, not the built-in trusted
// networks. Built once at startup; read by the packet loop.
class DetectionGate {
public:
    DetectionGate() = default;
    // Entries of `trusted_cidrs` that do not parse are skipped with a warning.
    DetectionGate(std::vector<IpAddr> local_addresses, const std::vector<std::string>& trusted_cidrs);

    bool inspect(const IpAddr& src) const;

    const std::vector<IpNetwork>& trusted() const { return trusted_; }

private:
    std::vector<IpAddr> local_;  // sorted
    std::vector<IpNetwork> trusted_;
};

// The built-in trusted networks (IPv4 only): true when `a` lies in one of them.
bool in_builtin_trusted(const IpAddr& a);

}  // namespace tarvo::detector
