#include "capture/packet_info.h"

#include <array>
#include <string>

#include <fmt/format.h>

namespace tarvo::capture {
namespace {

// "PROTO(n)" for every protocol number, built once so describing allocates nothing.
const std::array<std::string, 256>& proto_names() {
    static const std::array<std::string, 256> names = [] {
        std::array<std::string, 256> n;
        for (std::size_t i = 0; i < n.size(); ++i) n[i] = fmt::format("PROTO({})", i);
        return n;
    }();
    return names;
}

}  // namespace

std::string_view Protocol::describe() const noexcept {
    switch (kind_) {
        case Kind::Tcp: return "TCP";
        case Kind::Udp: return "UDP";
        case Kind::Icmp: return "ICMP";
        case Kind::Icmpv6: return "ICMPv6";
        case Kind::Igmp: return "IGMP";
        case Kind::Other: break;
    }
    return proto_names()[number_];
}

std::string_view Protocol::rule_name() const noexcept {
    return kind_ == Kind::Other ? std::string_view("OTHER") : describe();
}

std::uint8_t Protocol::attribution_class() const noexcept {
    switch (kind_) {
        case Kind::Tcp: return 6;
        case Kind::Udp: return 17;
        case Kind::Icmp: return 1;
        default: return 2;
    }
}

}  // namespace tarvo::capture
