#include "capture/decode.h"

#include <gtest/gtest.h>

#include "support/frames.h"

namespace tarvo::capture {
namespace {

using namespace tarvo::test;

struct Want {
    Protocol protocol;
    std::uint16_t src_port;
    std::uint16_t dst_port;
    std::uint8_t flags;
    const char* src;
    const char* dst;
};

struct Case {
    const char* name;
    Bytes frame;
    std::optional<Want> want;  // nullopt: undecodable
};

constexpr std::uint8_t kSyn = 0x02;
constexpr std::uint8_t kAck = 0x10;

const Bytes kTcpSynAck = ipv4(6, tcp(40000, 443, kSyn | kAck));

std::vector<Case> cases() {
    return {
        {"arp", eth(0x0806, arp()), std::nullopt},
        {"lldp", eth(0x88CC, Bytes(30, 0)), std::nullopt},
        {"runt", Bytes(13, 0), std::nullopt},
        {"tcp syn+ack packs to 18", eth(0x0800, kTcpSynAck),
         Want{Protocol::tcp(), 40000, 443, 18, "192.0.2.1", "198.51.100.2"}},
        {"ipv4 options skipped", eth(0x0800, ipv4(17, udp(53, 5353), "10.0.0.1", "10.0.0.2", 0, 8)),
         Want{Protocol::udp(), 53, 5353, 0, "10.0.0.1", "10.0.0.2"}},
        {"two 8021q tags", eth(0x8100, vlan(0x8100, vlan(0x0800, kTcpSynAck))),
         Want{Protocol::tcp(), 40000, 443, 18, "192.0.2.1", "198.51.100.2"}},
        {"one 88a8 tag", eth(0x88A8, vlan(0x0800, kTcpSynAck)),
         Want{Protocol::tcp(), 40000, 443, 18, "192.0.2.1", "198.51.100.2"}},
        {"9100 then 8100", eth(0x9100, vlan(0x8100, vlan(0x0800, kTcpSynAck))),
         Want{Protocol::tcp(), 40000, 443, 18, "192.0.2.1", "198.51.100.2"}},
        {"three tags", eth(0x8100, vlan(0x8100, vlan(0x8100, vlan(0x0800, kTcpSynAck)))),
         std::nullopt},
        {"tag cut short", Bytes{eth(0x8100, {0x00, 0x64})}, std::nullopt},
        {"all six flags", eth(0x0800, ipv4(6, tcp(1, 2, 0x3F))),
         Want{Protocol::tcp(), 1, 2, 63, "192.0.2.1", "198.51.100.2"}},
        {"icmp echo", eth(0x0800, ipv4(1, icmp_echo())),
         Want{Protocol::icmp(), 0, 0, 0, "192.0.2.1", "198.51.100.2"}},
        {"icmpv6 echo", eth(0x86DD, ipv6(58, {128, 0, 0, 0, 0, 1, 0, 1})),
         Want{Protocol::icmpv6(), 0, 0, 0, "2001:db8::1", "2001:db8::2"}},
        {"igmp", eth(0x0800, ipv4(2, Bytes(8, 0))),
         Want{Protocol::igmp(), 0, 0, 0, "192.0.2.1", "198.51.100.2"}},
        {"gre", eth(0x0800, ipv4(47, gre())),
         Want{Protocol::other(47), 0, 0, 0, "192.0.2.1", "198.51.100.2"}},
        {"later ipv4 fragment", eth(0x0800, ipv4(6, Bytes(16, 0), "192.0.2.1", "198.51.100.2", 185)),
         Want{Protocol::other(6), 0, 0, 0, "192.0.2.1", "198.51.100.2"}},
        {"ipv6 hop-by-hop then fragment then udp",
         eth(0x86DD, ipv6(0, ext6(44, 1, frag6(17, 0, udp(1000, 2000))))),
         Want{Protocol::udp(), 1000, 2000, 0, "2001:db8::1", "2001:db8::2"}},
        {"later ipv6 fragment", eth(0x86DD, ipv6(44, frag6(6, 100, Bytes(8, 0)))),
         Want{Protocol::other(6), 0, 0, 0, "2001:db8::1", "2001:db8::2"}},
        {"ipv6 endless options", [] {
             Bytes inner = tcp(1, 2, kSyn);
             for (int i = 0; i < 12; ++i) inner = ext6(60, 1, inner);
             return eth(0x86DD, ipv6(60, inner));
         }(), std::nullopt},
        {"bad ipv4 version", [] {
             Bytes ip = kTcpSynAck;
             ip[0] = 0x65;
             return eth(0x0800, ip);
         }(), std::nullopt},
        {"ipv4 header length below 5", [] {
             Bytes ip = kTcpSynAck;
             ip[0] = 0x44;
             return eth(0x0800, ip);
         }(), std::nullopt},
        {"tcp data offset past the packet", [] {
             Bytes ip = kTcpSynAck;
             ip[20 + 12] = 0xF0;
             return eth(0x0800, ip);
         }(), std::nullopt},
        {"ipv4 in an ipv6 ethertype", eth(0x86DD, kTcpSynAck), std::nullopt},
        {"snapshot cut ipv4", [] {
             Bytes f = eth(0x0800, ipv4(17, udp(1, 2)));
             f.resize(f.size() - 3);
             return f;
         }(), std::nullopt},
        {"snapshot cut ipv6", [] {
             Bytes f = eth(0x86DD, ipv6(17, udp(1, 2)));
             f.resize(f.size() - 1);
             return f;
         }(), std::nullopt},
    };
}

TEST(Decode, ClassifiesOrRejects) {
    for (const auto& c : cases()) {
        SCOPED_TRACE(c.name);
        const auto p = decode(c.frame);
        ASSERT_EQ(p.has_value(), c.want.has_value());
        if (!p) continue;
        EXPECT_EQ(p->protocol, c.want->protocol);
        EXPECT_EQ(p->src_port, c.want->src_port);
        EXPECT_EQ(p->dst_port, c.want->dst_port);
        EXPECT_EQ(p->tcp_flags(), c.want->flags);
        EXPECT_EQ(p->src_ip.to_string(), c.want->src);
        EXPECT_EQ(p->dst_ip.to_string(), c.want->dst);
        EXPECT_EQ(p->length, c.frame.size());
    }
}

TEST(Decode, EveryStrictPrefixOfAFrameIsRejected) {
    for (const auto& c : cases()) {
        if (!c.want) continue;
        SCOPED_TRACE(c.name);
        for (std::size_t n = 0; n < c.frame.size(); ++n) {
            const auto p = decode(std::span(c.frame).first(n));
            // Each frame's IP length covers it exactly, so any cut is detectable.
            EXPECT_FALSE(p.has_value()) << "prefix " << n;
        }
    }
}

TEST(Decode, LengthIsTheCapturedLengthWithEthernetPadding) {
    const Bytes frame = padded(eth(0x0800, ipv4(6, tcp(1, 80, kSyn))), 60);
    const auto p = decode(frame);
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(p->length, 60U);
    EXPECT_TRUE(p->syn);
    EXPECT_FALSE(p->ack || p->fin || p->rst || p->psh || p->urg);
}

TEST(Protocol, NamesForPrintRulesAndAttribution) {
    struct Row {
        Protocol p;
        const char* printed;
        const char* rule;
        std::uint8_t cls;
    };
    const Row rows[] = {
        {Protocol::tcp(), "TCP", "TCP", 6},       {Protocol::udp(), "UDP", "UDP", 17},
        {Protocol::icmp(), "ICMP", "ICMP", 1},    {Protocol::icmpv6(), "ICMPv6", "ICMPv6", 2},
        {Protocol::igmp(), "IGMP", "IGMP", 2},    {Protocol::other(47), "PROTO(47)", "OTHER", 2},
        {Protocol::other(0), "PROTO(0)", "OTHER", 2},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.printed);
        EXPECT_EQ(r.p.describe(), r.printed);
        EXPECT_EQ(r.p.rule_name(), r.rule);
        EXPECT_EQ(r.p.attribution_class(), r.cls);
    }
}

}  // namespace
}  // namespace tarvo::capture
