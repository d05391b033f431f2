#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "capture/packet_info.h"
#include "util/ip.h"

namespace tarvo::policy {

enum class RuleAction : std::uint8_t { Allow, Block, Alert };

std::string_view describe(RuleAction action);  // "Allow", "Block", "Alert"

// One operator rule. Absent conditions do not restrict; a single address is kept as a
// full-length network, which matches only that address in its own family.
struct PolicyRule {
    std::string id;
    std::string name;
    std::optional<std::vector<IpNetwork>> src_ips;
    std::optional<std::vector<IpNetwork>> dst_ips;
    std::optional<std::vector<std::uint16_t>> src_ports;
    std::optional<std::vector<std::uint16_t>> dst_ports;
    std::optional<std::vector<std::string>> protocols;  // lower-cased
    bool enabled = true;
    RuleAction action = RuleAction::Allow;

    // Protocol kinds (bit per capture::Protocol::Kind) named by `protocols`, derived
    // once so that matching compares no text.
    std::uint8_t protocol_mask = 0;
    void derive_protocol_mask();

    bool matches(const capture::PacketInfo& p) const noexcept;
};

}  // namespace tarvo::policy
