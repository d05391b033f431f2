#include "policy/engine.h"

#include <gtest/gtest.h>

#include "policy/reloader.h"

namespace tarvo::policy {
namespace {

capture::PacketInfo packet(const char* src, const char* dst, std::uint16_t sport, std::uint16_t dport,
                           capture::Protocol proto) {
    capture::PacketInfo p;
    p.src_ip = *IpAddr::parse(src);
    p.dst_ip = *IpAddr::parse(dst);
    p.src_port = sport;
    p.dst_port = dport;
    p.protocol = proto;
    return p;
}

TEST(PolicyEngine, FirstMatchWins) {
    using P = capture::Protocol;
    struct Case {
        const char* name;
        const char* rules;
        capture::PacketInfo packet;
        std::optional<std::string> matched;  // rule id
    };
    const Case cases[] = {
        {"empty list", "", packet("192.0.2.1", "10.0.0.5", 1, 2, P::tcp()), std::nullopt},
        {"first of two matches",
         "- {id: first, name: a, action: Alert, conditions: {dst_ports: [80]}}\n"
         "- {id: second, name: b, action: Block, conditions: {}}\n",
         packet("192.0.2.1", "10.0.0.5", 1, 80, P::tcp()), "first"},
        {"order holds across rules with and without a port condition",
         "- {id: p1, name: a, action: Alert, conditions: {dst_ports: [80], protocols: [udp]}}\n"
         "- {id: any, name: b, action: Block, conditions: {protocols: [tcp]}}\n"
         "- {id: p2, name: c, action: Allow, conditions: {dst_ports: [443, 80]}}\n",
         packet("192.0.2.1", "10.0.0.5", 1, 80, P::tcp()), "any"},
        {"a later rule naming the port",
         "- {id: any, name: b, action: Block, conditions: {protocols: [icmp]}}\n"
         "- {id: p2, name: c, action: Allow, conditions: {dst_ports: [443, 80, 80]}}\n",
         packet("192.0.2.1", "10.0.0.5", 1, 80, P::tcp()), "p2"},
        {"a condition-less rule matches everything",
         "- {id: all, name: a, action: Block, conditions: {}}\n",
         packet("2001:db8::1", "2001:db8::2", 0, 0, P::other(47)), "all"},
        {"IPv4 address does not match its mapped IPv6 form",
         "- {id: v4, name: a, action: Block, conditions: {dst_ips: [10.0.0.5]}}\n",
         packet("2001:db8::1", "::ffff:10.0.0.5", 1, 2, P::tcp()), std::nullopt},
        {"IPv4 address matches itself",
         "- {id: v4, name: a, action: Block, conditions: {dst_ips: [10.0.0.5]}}\n",
         packet("192.0.2.1", "10.0.0.5", 1, 2, P::tcp()), "v4"},
        {"network contains",
         "- {id: net, name: a, action: Block, conditions: {src_ips: [\"2001:db8::/32\"]}}\n",
         packet("2001:db8:ab::9", "2001:db9::1", 1, 2, P::udp()), "net"},
        {"network of the other family",
         "- {id: net, name: a, action: Block, conditions: {src_ips: [0.0.0.0/0]}}\n",
         packet("2001:db8:ab::9", "2001:db9::1", 1, 2, P::udp()), std::nullopt},
        {"other matches GRE",
         "- {id: o, name: a, action: Alert, conditions: {protocols: [other]}}\n",
         packet("192.0.2.1", "10.0.0.5", 0, 0, P::other(47)), "o"},
        {"other does not match TCP",
         "- {id: o, name: a, action: Alert, conditions: {protocols: [other]}}\n",
         packet("192.0.2.1", "10.0.0.5", 1, 2, P::tcp()), std::nullopt},
        {"protocol names ignore case",
         "- {id: i6, name: a, action: Alert, conditions: {protocols: [IcmpV6]}}\n",
         packet("2001:db8::1", "2001:db8::2", 0, 0, P::icmpv6()), "i6"},
        {"port 0 matches ICMP",
         "- {id: zero, name: a, action: Alert, conditions: {dst_ports: [0]}}\n",
         packet("192.0.2.1", "10.0.0.5", 0, 0, P::icmp()), "zero"},
        {"every condition must hold",
         "- {id: both, name: a, action: Alert, conditions: {dst_ports: [53], protocols: [tcp]}}\n",
         packet("192.0.2.1", "10.0.0.5", 1, 53, P::udp()), std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const PolicyEngine engine(parse_rules(c.rules));
        const auto rule = engine.evaluate(c.packet);
        EXPECT_EQ(rule ? std::optional(rule->id) : std::nullopt, c.matched);
    }
}

TEST(PolicyEngine, AMatchOutlivesAReplacement) {
    PolicyEngine engine(parse_rules("- {id: old, name: a, action: Block, conditions: {}}\n"));
    const auto held = engine.evaluate(packet("192.0.2.1", "10.0.0.5", 1, 2, capture::Protocol::tcp()));
    engine.replace_rules({});
    ASSERT_TRUE(held);
    EXPECT_EQ(held->id, "old");  // still valid: it keeps its list alive
    EXPECT_FALSE(engine.evaluate(packet("192.0.2.1", "10.0.0.5", 1, 2, capture::Protocol::tcp())));
}

}  // namespace
}  // namespace tarvo::policy
