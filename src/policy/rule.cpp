#include "policy/rule.h"

#include <algorithm>
#include <array>

#include "util/strings.h"

namespace tarvo::policy {
namespace {

using Kind = capture::Protocol::Kind;

constexpr std::array<std::pair<std::string_view, Kind>, 6> kRuleNames = {{
    {"tcp", Kind::Tcp},
    {"udp", Kind::Udp},
    {"icmp", Kind::Icmp},
    {"icmpv6", Kind::Icmpv6},
    {"igmp", Kind::Igmp},
    {"other", Kind::Other},
}};

std::uint8_t bit(Kind k) { return static_cast<std::uint8_t>(1U << static_cast<unsigned>(k)); }

bool any_contains(const std::vector<IpNetwork>& nets, const IpAddr& a) {
    return std::any_of(nets.begin(), nets.end(), [&](const IpNetwork& n) { return n.contains(a); });
}

bool any_equals(const std::vector<std::uint16_t>& ports, std::uint16_t p) {
    return std::find(ports.begin(), ports.end(), p) != ports.end();
}

}  // namespace

std::string_view describe(RuleAction action) {
    switch (action) {
        case RuleAction::Allow: return "Allow";
        case RuleAction::Block: return "Block";
        case RuleAction::Alert: return "Alert";
    }
    return "Allow";
}

void PolicyRule::derive_protocol_mask() {
    protocol_mask = 0;
    if (!protocols) return;
    for (const auto& p : *protocols) {
        const std::string lower = to_lower(p);
        for (const auto& [rule_name, kind] : kRuleNames) {
            if (lower == rule_name) protocol_mask = static_cast<std::uint8_t>(protocol_mask | bit(kind));
        }
    }
}

bool PolicyRule::matches(const capture::PacketInfo& p) const noexcept {
    // Every condition must hold, so the cheapest go first.
    if (protocols && (protocol_mask & bit(p.protocol.kind())) == 0) return false;
    if (dst_ports && !any_equals(*dst_ports, p.dst_port)) return false;
    if (src_ports && !any_equals(*src_ports, p.src_port)) return false;
    if (src_ips && !any_contains(*src_ips, p.src_ip)) return false;
    if (dst_ips && !any_contains(*dst_ips, p.dst_ip)) return false;
    return true;
}

}  // namespace tarvo::policy
