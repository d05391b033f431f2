#include "capture/devices.h"

#include <gtest/gtest.h>

#include "capture/filter.h"
#include "capture/pcap_handle.h"

namespace tarvo::capture {
namespace {

Device dev(std::string name, bool up, bool with_address) {
    Device d;
    d.name = std::move(name);
    d.up = up;
    if (with_address) d.addresses.push_back(*IpAddr::parse("192.0.2.10"));
    return d;
}

TEST(AutoSelect, PicksTheLastOfTheBestScores) {
    struct Case {
        const char* name;
        std::vector<Device> devices;
        std::optional<std::string> chosen;
    };
    const Case cases[] = {
        {"two up with addresses: the later", {dev("eth0", true, true), dev("eth1", true, true)}, "eth1"},
        {"only the first has addresses", {dev("eth0", true, true), dev("eth1", true, false)}, "eth0"},
        {"address-less when alone", {dev("wlan0", true, false)}, "wlan0"},
        {"down is rejected", {dev("eth0", false, true)}, std::nullopt},
        {"only lo and docker0", {dev("lo", true, true), dev("docker0", true, true)}, std::nullopt},
        {"names compared lower-cased", {dev("Docker0", true, true), dev("VETH1", true, true)}, std::nullopt},
        {"any and loopback anywhere",
         {dev("company0", true, true), dev("myloopback", true, true), dev("lo:1", true, true)},
         std::nullopt},
        {"bridges rejected, dummy0 accepted",
         {dev("virbr0", true, true), dev("br-1234", true, true), dev("dummy0", true, false)},
         "dummy0"},
        {"lo prefix alone is not rejected", {dev("lowan", true, false)}, "lowan"},
        {"empty list", {}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(auto_select(c.devices), c.chosen);
    }
}

TEST(CandidateInterfaces, ListingDiffersFromSelection) {
    const std::vector<Device> devices = {
        dev("lo", true, true),     dev("lowan", true, false), dev("dummy0", true, false),
        dev("veth9", true, true),  dev("eth0", false, true),  dev("eth1", true, true),
        dev("xvirbr", true, true), dev("docker0", true, true),
    };
    const auto listed = candidate_interfaces([&] { return Expected<std::vector<Device>, CaptureError>(devices); });
    ASSERT_TRUE(listed.has_value());
    std::vector<std::pair<std::string, int>> got;
    for (const auto& c : *listed) got.emplace_back(c.device.name, c.score);
    const std::vector<std::pair<std::string, int>> want = {{"veth9", -1}, {"eth0", -1}, {"eth1", 3}};
    EXPECT_EQ(got, want);

    const auto failed = candidate_interfaces(
        [] { return Expected<std::vector<Device>, CaptureError>(Unexpected(CaptureError::pcap("boom"))); });
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().message(), "PCAP error: boom");
}

TEST(ResolveInterface, NamesAndErrors) {
    const DeviceLister lister = [] {
        return Expected<std::vector<Device>, CaptureError>(
            std::vector<Device>{dev("lo", true, true), dev("eth0", true, true)});
    };
    EXPECT_EQ(resolve_interface("auto", lister).value(), "eth0");
    EXPECT_EQ(resolve_interface("lo", lister).value(), "lo");  // only "auto" rejects loopback
    auto missing = resolve_interface("eth9", lister);
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error().message(), "Network interface 'eth9' not found");
    auto none = resolve_interface("auto", [] {
        return Expected<std::vector<Device>, CaptureError>(std::vector<Device>{dev("lo", true, true)});
    });
    ASSERT_FALSE(none.has_value());
    EXPECT_EQ(none.error().message(),
              "Network interface 'No suitable interface found for auto-selection' not found");
}

TEST(LocalAddresses, SortedAndEmptyOnFailure) {
    std::vector<Device> devices = {dev("eth0", true, false), dev("eth1", true, false)};
    devices[0].addresses = {*IpAddr::parse("2001:db8::1"), *IpAddr::parse("10.0.0.2")};
    devices[1].addresses = {*IpAddr::parse("10.0.0.1"), *IpAddr::parse("10.0.0.2")};
    const auto addrs = local_addresses([&] { return Expected<std::vector<Device>, CaptureError>(devices); });
    ASSERT_EQ(addrs.size(), 3U);
    EXPECT_EQ(addrs[0].to_string(), "10.0.0.1");
    EXPECT_EQ(addrs[2].to_string(), "2001:db8::1");
    EXPECT_TRUE(std::is_sorted(addrs.begin(), addrs.end()));
    EXPECT_TRUE(local_addresses([] {
                    return Expected<std::vector<Device>, CaptureError>(Unexpected(CaptureError::pcap("x")));
                }).empty());
}

TEST(CaptureError, DisplayTexts) {
    EXPECT_EQ(CaptureError::permission_denied("Run as root (or grant CAP_NET_RAW) for packet capture").message(),
              "Permission denied: Run as root (or grant CAP_NET_RAW) for packet capture");
    EXPECT_EQ(CaptureError::invalid_filter("syntax error").message(), "Invalid BPF filter: syntax error");
    EXPECT_EQ(CaptureError::already_started().message(), "Capture already started");
    EXPECT_EQ(CaptureError::not_started().message(), "Capture not started");
}

TEST(BufferBytes, MebibytesUpToTheIntLimit) {
    EXPECT_EQ(buffer_bytes(0), 0);
    EXPECT_EQ(buffer_bytes(64), 67'108'864);
    EXPECT_EQ(buffer_bytes(2047), 2'146'435'072);
    EXPECT_EQ(buffer_bytes(2048), 2'147'483'647);
    EXPECT_EQ(buffer_bytes(~0ULL), 2'147'483'647);
}

TEST(Filter, ValidationAndAutoBuiltText) {
    EXPECT_TRUE(validate_filter("tcp port 80").has_value());
    EXPECT_TRUE(validate_filter("(ip or ip6) and not (host 203.0.113.5)").has_value());
    const auto bad = validate_filter("tcp port nonsense(");
    ASSERT_FALSE(bad.has_value());
    EXPECT_TRUE(bad.error().starts_with("Invalid BPF filter 'tcp port nonsense(': ")) << bad.error();

    EXPECT_EQ(build_auto_filter({}), "(ip or ip6)");
    EXPECT_EQ(build_auto_filter({"203.0.113.5"}), "(ip or ip6) and not (host 203.0.113.5)");
    EXPECT_EQ(build_auto_filter({"203.0.113.5", "2001:db8::5"}),
              "(ip or ip6) and not (host 203.0.113.5 or host 2001:db8::5)");

    // A word would be looked up as a host name, or fail to compile and stop capture.
    EXPECT_EQ(build_auto_filter({"evil", "203.0.113.5"}), "(ip or ip6) and not (host 203.0.113.5)");
    EXPECT_EQ(build_auto_filter({"evil"}), "(ip or ip6)");

    EXPECT_EQ(choose_filter(std::string("udp"), {"203.0.113.5"}), "udp");
    EXPECT_EQ(choose_filter(std::string("udp port ("), {"203.0.113.5"}),
              "(ip or ip6) and not (host 203.0.113.5)");
    EXPECT_EQ(choose_filter(std::nullopt, {}), "(ip or ip6)");
}

}  // namespace
}  // namespace tarvo::capture
