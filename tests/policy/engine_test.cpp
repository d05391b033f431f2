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

// The candidate lists (by destination port and by address reach) against a plain walk
// over every rule: over random rule sets drawn from a small universe, so that rules
// overlap, both must pick the same rule for every packet.
TEST(PolicyEngine, IndexedLookupAgreesWithAWalkOverEveryRule) {
    // Networks that nest, touch and end where another starts, and addresses at the edges.
    const char* addresses[] = {"192.0.2.1",   "192.0.2.77",    "192.0.2.255",
                               "198.51.100.5", "10.0.0.1",     "2001:db8::1",
                               "2001:db8:1::5", "2001:db8:ffff:ffff:ffff:ffff:ffff:ffff",
                               "::ffff:192.0.2.1"};
    const char* networks[] = {"192.0.2.0/24",  "192.0.2.77/32",   "192.0.2.255/32", "198.51.100.4/30",
                              "10.0.0.0/8",    "2001:db8::/32",   "2001:db8:1::/48",
                              "2001:db8:ffff:ffff:ffff:ffff:ffff:ffff/128", "::ffff:0:0/96",
                              "0.0.0.0/0"};
    const std::uint16_t ports[] = {0, 22, 53, 80, 443};
    const char* protocols[] = {"tcp", "udp", "icmp", "other"};
    const capture::Protocol kinds[] = {capture::Protocol::tcp(), capture::Protocol::udp(),
                                       capture::Protocol::icmp(), capture::Protocol::other(47)};
    std::uint32_t x = 7;
    const auto next = [&x](std::uint32_t n) {
        x = x * 1103515245U + 12345U;
        return (x >> 16U) % n;
    };
    const auto some = [&](auto& field, const auto& pool) {
        if (next(2) == 0) return;
        field.emplace();
        for (std::uint32_t k = next(4); k > 0; --k) {  // 0 elements: a present, empty list
            using T = typename std::decay_t<decltype(*field)>::value_type;
            const auto& v = pool[next(static_cast<std::uint32_t>(std::size(pool)))];
            if constexpr (std::is_same_v<T, IpNetwork>) {
                field->push_back(*IpNetwork::parse(v));
            } else {
                field->push_back(T(v));
            }
        }
    };
    for (int round = 0; round < 300; ++round) {
        std::vector<PolicyRule> rules(1 + next(12));
        for (std::size_t i = 0; i < rules.size(); ++i) {
            PolicyRule& r = rules[i];
            r.id = std::to_string(i);
            r.action = next(2) == 0 ? RuleAction::Block : RuleAction::Alert;
            some(r.src_ips, networks);
            some(r.dst_ips, networks);
            some(r.src_ports, ports);
            some(r.dst_ports, ports);
            some(r.protocols, protocols);
            r.derive_protocol_mask();
        }
        const PolicyEngine::RuleSet set(rules);
        for (int k = 0; k < 200; ++k) {
            const auto p = packet(addresses[next(9)], addresses[next(9)], ports[next(5)],
                                  ports[next(5)], kinds[next(4)]);
            const PolicyRule* walked = nullptr;
            for (const auto& r : set.rules) {
                if (r.matches(p)) {
                    walked = &r;
                    break;
                }
            }
            const PolicyRule* indexed = PolicyEngine::first_match(set, p);
            ASSERT_EQ(indexed, walked) << "round " << round << ", packet " << k;
        }
    }
}

// Thousands of rules for every source, mixed with thousands for single sources, would
// list every broad rule in every piece: the index gives up narrowing instead of growing
// past its bound, and evaluation stays right.
TEST(PolicyEngine, AnAddressIndexTooLargeIsNotBuilt) {
    std::vector<PolicyRule> rules;
    for (std::uint32_t i = 0; i < 2100; ++i) {
        PolicyRule broad;
        broad.id = "broad" + std::to_string(i);
        broad.src_ips = std::vector{*IpNetwork::parse("0.0.0.0/0")};
        broad.dst_ports = std::vector<std::uint16_t>{static_cast<std::uint16_t>(1000 + i)};
        PolicyRule single;
        single.id = "single" + std::to_string(i);
        single.src_ips = std::vector{IpNetwork(IpAddr::v4(0xC6120000U + 2 * i), 32)};
        rules.push_back(std::move(broad));
        rules.push_back(std::move(single));
    }
    const PolicyEngine::RuleSet set(std::move(rules));
    EXPECT_FALSE(set.by_src_ip.narrows());
    const std::pair<capture::PacketInfo, std::string> cases[] = {
        {packet("198.18.0.0", "10.0.0.5", 1, 1000, capture::Protocol::tcp()), "broad0"},
        {packet("198.18.0.2", "10.0.0.5", 1, 80, capture::Protocol::tcp()), "single1"},
        {packet("198.18.0.2", "10.0.0.5", 1, 3099, capture::Protocol::tcp()), "single1"},
        {packet("198.18.16.102", "10.0.0.5", 1, 3099, capture::Protocol::tcp()), "broad2099"},
    };
    for (const auto& [p, id] : cases) {
        const PolicyRule* rule = PolicyEngine::first_match(set, p);
        ASSERT_NE(rule, nullptr);
        EXPECT_EQ(rule->id, id);
    }
    EXPECT_EQ(PolicyEngine::first_match(set, packet("198.18.0.1", "10.0.0.5", 1, 80,
                                                    capture::Protocol::tcp())),
              nullptr);
}

}  // namespace
}  // namespace tarvo::policy
