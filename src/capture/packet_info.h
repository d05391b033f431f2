#pragma once

#include <cstdint>
#include <string_view>

#include "util/ip.h"

namespace tarvo::capture {

// Transport classification of a packet. `Other` carries the IP protocol number.
class Protocol {
public:
    enum class Kind : std::uint8_t { Tcp = 0, Udp, Icmp, Icmpv6, Igmp, Other };

    constexpr Protocol() = default;
    static constexpr Protocol tcp() { return Protocol(Kind::Tcp, 6); }
    static constexpr Protocol udp() { return Protocol(Kind::Udp, 17); }
    static constexpr Protocol icmp() { return Protocol(Kind::Icmp, 1); }
    static constexpr Protocol icmpv6() { return Protocol(Kind::Icmpv6, 58); }
    static constexpr Protocol igmp() { return Protocol(Kind::Igmp, 2); }
    static constexpr Protocol other(std::uint8_t number) { return Protocol(Kind::Other, number); }

    constexpr Kind kind() const { return kind_; }
    constexpr std::uint8_t number() const { return number_; }

    // "TCP", "UDP", "ICMP", "ICMPv6", "IGMP" or "PROTO(n)": logs, dashboard, export.
    std::string_view describe() const noexcept;
    // "TCP", "UDP", "ICMP", "ICMPv6", "IGMP" or "OTHER": what rules match against.
    std::string_view rule_name() const noexcept;
    // First element of the socket-table key: 6 for TCP, 17 for UDP, 1 for ICMP, else 2.
    std::uint8_t attribution_class() const noexcept;

    constexpr bool operator==(const Protocol& o) const {
        return kind_ == o.kind_ && (kind_ != Kind::Other || number_ == o.number_);
    }

private:
    constexpr Protocol(Kind k, std::uint8_t n) : kind_(k), number_(n) {}
    Kind kind_ = Kind::Other;
    std::uint8_t number_ = 0;
};

// One decoded frame. Carries no time and no copy of the frame's bytes.
struct PacketInfo {
    std::uint64_t length = 0;  // captured bytes, link header included
    bool syn = false;
    bool ack = false;
    bool fin = false;
    bool rst = false;
    bool psh = false;
    bool urg = false;
    Protocol protocol;
    std::uint16_t src_port = 0;  // TCP and UDP only
    std::uint16_t dst_port = 0;
    IpAddr src_ip;
    IpAddr dst_ip;

    // FIN bit 0, SYN 1, RST 2, PSH 3, ACK 4, URG 5.
    std::uint8_t tcp_flags() const noexcept {
        return static_cast<std::uint8_t>((fin ? 0x01U : 0U) | (syn ? 0x02U : 0U) |
                                         (rst ? 0x04U : 0U) | (psh ? 0x08U : 0U) |
                                         (ack ? 0x10U : 0U) | (urg ? 0x20U : 0U));
    }
};

}  // namespace tarvo::capture
