#include "util/ip_ranges.h"

#include <gtest/gtest.h>

namespace tarvo {
namespace {

IpNetwork net(const char* text) { return *IpNetwork::parse(text); }
IpAddr ip(const char* text) { return *IpAddr::parse(text); }

TEST(IpRanges, MembershipAcrossMergedNetworks) {
    const IpRanges ranges({net("10.0.0.0/8"), net("11.0.0.0/8"),      // adjacent: merged
                           net("192.0.2.128/25"), net("192.0.2.200/32"),  // nested
                           net("255.255.255.255/32"), net("2001:db8::/32"),
                           net("2001:db9::/128"), net("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ff00/120"),
                           net("fe80::/64")});
    const std::pair<const char*, bool> cases[] = {
        {"9.255.255.255", false}, {"10.0.0.0", true},        {"11.255.255.255", true},
        {"12.0.0.0", false},      {"192.0.2.127", false},    {"192.0.2.128", true},
        {"192.0.2.255", true},    {"255.255.255.255", true}, {"255.255.255.254", false},
        {"2001:db7:ffff:ffff:ffff:ffff:ffff:ffff", false},   {"2001:db8::", true},
        {"2001:db8:ffff:ffff:ffff:ffff:ffff:ffff", true},    {"2001:db9::", true},
        {"2001:db9::1", false},   {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", true},
        {"fe80::1:2:3:4", true},  {"fe80:0:0:1::", false},
        {"::ffff:10.0.0.1", false},  // a mapped address is IPv6
    };
    for (const auto& [addr, inside] : cases) {
        SCOPED_TRACE(addr);
        EXPECT_EQ(ranges.contains(ip(addr)), inside);
    }
    EXPECT_EQ(ranges.v4_ranges().size(), 3U);  // 10-11/8, 192.0.2.128/25, the last address
}

TEST(IpRanges, WholeSpacesAndNothing) {
    const IpRanges all({net("0.0.0.0/0"), net("::/0")});
    const IpRanges none;
    for (const char* addr : {"0.0.0.0", "255.255.255.255", "::", "2001:db8::1"}) {
        SCOPED_TRACE(addr);
        EXPECT_TRUE(all.contains(ip(addr)));
        EXPECT_FALSE(none.contains(ip(addr)));
    }
    EXPECT_TRUE(none.empty());
}

}  // namespace
}  // namespace tarvo
