#include "capture/decode.h"

namespace tarvo::capture {
namespace {

constexpr std::size_t kEthHeader = 14;
constexpr std::size_t kVlanTag = 4;
constexpr int kMaxVlanTags = 2;
constexpr int kMaxIpv6ExtHeaders = 8;
constexpr std::size_t kIcmpHeader = 8;

constexpr std::uint16_t kEtherIpv4 = 0x0800;
constexpr std::uint16_t kEtherIpv6 = 0x86DD;

bool is_vlan(std::uint16_t type) { return type == 0x8100 || type == 0x9100 || type == 0x88A8; }

std::uint16_t rd16(std::span<const std::uint8_t> b, std::size_t off) {
    return static_cast<std::uint16_t>((b[off] << 8U) | b[off + 1]);
}

// Fills ports, flags and protocol from the transport header in `l4` (the IP payload).
// false when the header is malformed.
bool decode_transport(std::uint8_t proto, std::span<const std::uint8_t> l4, PacketInfo& p) {
    switch (proto) {
        case 6: {
            if (l4.size() < 20) return false;
            const std::size_t header = static_cast<std::size_t>(l4[12] >> 4U) * 4;
            if (header < 20 || header > l4.size()) return false;
            p.src_port = rd16(l4, 0);
            p.dst_port = rd16(l4, 2);
            const std::uint8_t f = l4[13];
            p.fin = (f & 0x01U) != 0;
            p.syn = (f & 0x02U) != 0;
            p.rst = (f & 0x04U) != 0;
            p.psh = (f & 0x08U) != 0;
            p.ack = (f & 0x10U) != 0;
            p.urg = (f & 0x20U) != 0;
            p.protocol = Protocol::tcp();
            return true;
        }
        case 17: {
            if (l4.size() < 8) return false;
            p.src_port = rd16(l4, 0);
            p.dst_port = rd16(l4, 2);
            p.protocol = Protocol::udp();
            return true;
        }
        case 1:
            if (l4.size() < kIcmpHeader) return false;
            p.protocol = Protocol::icmp();
            return true;
        case 58:
            if (l4.size() < kIcmpHeader) return false;
            p.protocol = Protocol::icmpv6();
            return true;
        case 2: p.protocol = Protocol::igmp(); return true;
        default: p.protocol = Protocol::other(proto); return true;
    }
}

// Classification by protocol number alone: fragments without their transport header.
void classify_only(std::uint8_t proto, PacketInfo& p) {
    p.protocol = proto == 2 ? Protocol::igmp() : Protocol::other(proto);
}

bool decode_ipv4(std::span<const std::uint8_t> ip, PacketInfo& p) {
    if (ip.size() < 20) return false;
    if ((ip[0] >> 4U) != 4) return false;
    const std::size_t header = static_cast<std::size_t>(ip[0] & 0x0FU) * 4;
    if (header < 20 || header > ip.size()) return false;
    const std::size_t total = rd16(ip, 2);
    // A total length past the captured bytes means the frame was cut short.
    if (total < header || total > ip.size()) return false;
    p.src_ip = IpAddr::v4_bytes(ip.data() + 12);
    p.dst_ip = IpAddr::v4_bytes(ip.data() + 16);
    const std::uint8_t proto = ip[9];
    const bool later_fragment = (rd16(ip, 6) & 0x1FFFU) != 0;
    if (later_fragment) {
        classify_only(proto, p);
        return true;
    }
    return decode_transport(proto, ip.subspan(header, total - header), p);
}

bool decode_ipv6(std::span<const std::uint8_t> ip, PacketInfo& p) {
    if (ip.size() < 40) return false;
    if ((ip[0] >> 4U) != 6) return false;
    const std::size_t end = 40 + std::size_t{rd16(ip, 4)};
    if (end > ip.size()) return false;
    p.src_ip = IpAddr::v6_bytes(ip.data() + 8);
    p.dst_ip = IpAddr::v6_bytes(ip.data() + 24);
    std::uint8_t next = ip[6];
    std::size_t off = 40;
    for (int i = 0; i <= kMaxIpv6ExtHeaders; ++i) {
        switch (next) {
            case 0:     // hop-by-hop options
            case 43:    // routing
            case 60:    // destination options
            case 135:   // mobility
            case 139:   // host identity
            case 140: {  // shim6
                if (off + 8 > end) return false;
                const std::size_t len = (std::size_t{ip[off + 1]} + 1) * 8;
                if (off + len > end) return false;
                next = ip[off];
                off += len;
                continue;
            }
            case 51: {  // authentication header: length in 4-byte units, minus 2
                if (off + 8 > end) return false;
                const std::size_t len = (std::size_t{ip[off + 1]} + 2) * 4;
                if (off + len > end) return false;
                next = ip[off];
                off += len;
                continue;
            }
            case 44: {  // fragment
                if (off + 8 > end) return false;
                const bool later_fragment = (rd16(ip, off + 2) & 0xFFF8U) != 0;
                next = ip[off];
                off += 8;
                if (later_fragment) {
                    classify_only(next, p);
                    return true;
                }
                continue;
            }
            default: return decode_transport(next, ip.subspan(off, end - off), p);
        }
    }
    return false;  // an extension chain longer than any real packet carries
}

}  // namespace

bool decode_into(std::span<const std::uint8_t> frame, PacketInfo& p) noexcept {
    if (frame.size() < kEthHeader) return false;
    std::uint16_t type = rd16(frame, 12);
    std::size_t off = kEthHeader;
    for (int tags = 0; tags < kMaxVlanTags && is_vlan(type); ++tags) {
        if (off + kVlanTag > frame.size()) return false;
        type = rd16(frame, off + 2);
        off += kVlanTag;
    }
    p = PacketInfo{};
    p.length = frame.size();
    const auto ip = frame.subspan(off);
    if (type == kEtherIpv4) return decode_ipv4(ip, p);
    if (type == kEtherIpv6) return decode_ipv6(ip, p);
    return false;
}

std::optional<PacketInfo> decode(std::span<const std::uint8_t> frame) noexcept {
    PacketInfo p;
    if (!decode_into(frame, p)) return std::nullopt;
    return p;
}

}  // namespace tarvo::capture
