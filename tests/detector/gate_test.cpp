#include "detector/gate.h"

#include <gtest/gtest.h>

namespace tarvo::detector {
namespace {

IpAddr ip(const char* t) { return *IpAddr::parse(t); }

TEST(DetectionGate, DecidesWhichSourcesAreInspected) {
    const DetectionGate gate({ip("192.0.2.10"), ip("2001:db8::10")},
                             {"198.51.100.0/24", "100.64.0.0/10", "2001:db8:ffff::/48", "not-a-network"});
    const std::pair<const char*, bool> cases[] = {
        {"203.0.113.7", true},
        {"10.1.2.3", true},           // private sources are still inspected
        {"192.0.2.10", false},        // one of our own addresses
        {"2001:db8::10", false},
        {"198.51.100.77", false},     // configured trusted network
        {"2001:db8:ffff::1", false},
        {"100.127.255.255", false},   // a prefix that is not a whole octet
        {"100.128.0.0", true},
        {"127.0.0.1", false},
        {"169.254.1.1", false},
        {"224.0.0.1", false},
        {"255.255.255.255", false},
        {"223.255.255.255", true},
        {"8.8.8.8", false},           // built-in trusted networks
        {"140.82.113.4", false},
        {"4.2.2.2", false},
        {"4.2.3.2", true},
        {"::", false},
        {"::1", false},
        {"ff02::1", false},
        {"fe80::1", false},
        {"fd00::1", false},
        {"2001:db8:1::1", true},
        {"::ffff:8.8.8.8", true},     // a mapped address is IPv6, not the IPv4 network
    };
    for (const auto& [addr, inspected] : cases) {
        SCOPED_TRACE(addr);
        EXPECT_EQ(gate.inspect(ip(addr)), inspected);
    }
    EXPECT_EQ(gate.trusted_count(), 3U);
}

TEST(InboundToInside, PrivateOrLoopbackDestinationFromOutside) {
    const std::tuple<const char*, const char*, bool> cases[] = {
        {"203.0.113.1", "10.0.0.5", true},
        {"10.0.0.9", "10.0.0.5", false},        // private to private
        {"127.0.0.1", "10.0.0.5", true},        // IPv4 loopback counts as outside here
        {"203.0.113.1", "127.0.0.1", true},     // loopback destination: always
        {"10.0.0.1", "127.0.0.1", true},
        {"203.0.113.1", "198.51.100.2", false}, // public destination
        {"2001:db8::1", "fd00::5", true},
        {"fe80::1", "fd00::5", false},
        {"::1", "fe80::5", false},
        {"2001:db8::1", "::1", true},
        {"172.32.0.1", "172.31.0.1", true},     // 172.32/16 is outside 172.16/12
    };
    for (const auto& [src, dst, inbound] : cases) {
        SCOPED_TRACE(std::string(src) + " -> " + dst);
        EXPECT_EQ(inbound_to_inside(ip(src), ip(dst)), inbound);
    }
}

TEST(ClassifyProcess, ListBBeforeListA) {
    EXPECT_EQ(classify_process(std::nullopt), ProcessClass::Neither);
    EXPECT_EQ(classify_process("sshd"), ProcessClass::BusyTool);
    EXPECT_EQ(classify_process("systemd"), ProcessClass::KnownApp);
    EXPECT_EQ(classify_process("SSHD"), ProcessClass::Neither);  // exact, case-sensitive
    EXPECT_EQ(classify_process("nginx"), ProcessClass::Neither);
}

}  // namespace
}  // namespace tarvo::detector
