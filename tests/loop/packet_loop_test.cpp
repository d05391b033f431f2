#include "packet_loop.h"

#include <algorithm>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "policy/reloader.h"
#include "support/temp_dir.h"

namespace tarvo {
namespace {

using ::testing::HasSubstr;

capture::PacketInfo udp(const char* src, const char* dst, std::uint16_t dport) {
    capture::PacketInfo p;
    p.src_ip = *IpAddr::parse(src);
    p.dst_ip = *IpAddr::parse(dst);
    p.src_port = 40000;
    p.dst_port = dport;
    p.protocol = capture::Protocol::udp();
    p.length = 60;
    return p;
}

class Loop : public ::testing::Test {
protected:
    PacketLoop make(const std::string& rules, LoopSettings settings = {}) {
        policy_->replace_rules(policy::parse_rules(rules));
        return PacketLoop(LoopOutputs{counters_, *alerts_, nullptr, policy_},
                          detector::DetectionGate({*IpAddr::parse("10.0.0.1")}, {}), settings,
                          std::chrono::steady_clock::now());
    }
    // The writer flushes after every batch; give it a moment to get there.
    std::string alerts_log(std::size_t lines) {
        for (int i = 0; i < 100; ++i) {
            const std::string text = test::read_file(dir_ / "alerts.log");
            if (static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) >= lines) return text;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return test::read_file(dir_ / "alerts.log");
    }

    test::TempDir dir_;
    GlobalCountersPtr counters_ = std::make_shared<GlobalCounters>();
    std::optional<logger::AlertLoggerPtr> alerts_ = logger::AlertLogger::init(dir_.path(), 4096, 100).value();
    policy::PolicyEnginePtr policy_ = std::make_shared<policy::PolicyEngine>();
};

TEST_F(Loop, RuleDecisionsAreCountedLoggedAndRinged) {
    PacketLoop loop = make(
        "- {id: b, name: b, action: Block, conditions: {dst_ports: [23]}}\n"
        "- {id: a, name: a, action: Alert, conditions: {dst_ports: [53]}}\n");
    const auto now = std::chrono::steady_clock::now();
    loop.process(udp("10.0.0.1", "10.0.0.2", 23), now);  // from our own address: no detection
    loop.process(udp("10.0.0.1", "10.0.0.2", 53), now);
    loop.process(udp("10.0.0.1", "10.0.0.2", 80), now);
    EXPECT_EQ(counters_->packet_count.load(), 3U);
    EXPECT_EQ(counters_->block_count.load(), 1U);
    EXPECT_EQ(counters_->alert_count.load(), 1U);
    const auto logs = loop.recent_logs().snapshot();
    ASSERT_EQ(logs.size(), 2U);
    EXPECT_EQ(logs[0].level, logger::LogLevel::Block);
    EXPECT_EQ(logs[0].detail, "proc=unknown");
    EXPECT_EQ(logs[0].process, "unknown");
    EXPECT_EQ(logs[0].dst_port, 23);
    EXPECT_EQ(logs[1].level, logger::LogLevel::Alert);
    const std::string lines = alerts_log(2);
    EXPECT_THAT(lines, HasSubstr("] BLOCK src=10.0.0.1:40000 dst=10.0.0.2:23 proto=UDP rule=proc=unknown\n"));
    EXPECT_THAT(lines, HasSubstr("] ALERT src=10.0.0.1:40000 dst=10.0.0.2:53 proto=UDP rule=proc=unknown\n"));
}

TEST_F(Loop, ThreatsAreRecordedAsBlockLines) {
    PacketLoop loop = make("");
    auto now = std::chrono::steady_clock::now();
    for (std::uint16_t port = 1; port <= 20; ++port) {
        now += std::chrono::milliseconds(1);
        // To a public address: inbound UDP to a private one is not tracked at all.
        loop.process(udp("203.0.113.50", "198.51.100.9", static_cast<std::uint16_t>(port * 3)), now);
    }
    EXPECT_EQ(counters_->alert_count.load(), 1U);
    EXPECT_EQ(counters_->block_count.load(), 0U);  // a detection blocks nothing
    const auto threats = loop.recent_threats().snapshot();
    ASSERT_EQ(threats.size(), 1U);
    EXPECT_EQ(threats[0], "[!] UDP_SCAN | src=203.0.113.50 | UDP scan — nmap -sU");
    const auto logs = loop.recent_logs().snapshot();
    ASSERT_EQ(logs.size(), 1U);
    EXPECT_EQ(logs[0].level, logger::LogLevel::Threat);
    EXPECT_EQ(logs[0].dst_ip, "local");
    EXPECT_EQ(logs[0].proto, "DETECT");
    EXPECT_EQ(logs[0].detail, "UDP_SCAN:UDP scan — nmap -sU");
    EXPECT_THAT(alerts_log(1), HasSubstr("] BLOCK src=203.0.113.50:0 dst=local:0 proto=DETECT "
                                        "rule=UDP_SCAN:UDP scan — nmap -sU\n"));
}

TEST_F(Loop, NormalTrafficIsSampled) {
    struct Case {
        const char* name;
        LoopSettings settings;
        std::size_t sampled;  // out of 250 allowed packets
    };
    const Case cases[] = {
        {"off", {false, 100, 200}, 0},
        {"every 100th", {true, 100, 200}, 2},
        {"divisor 0 as 1, ring capped at 1", {true, 0, 0}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PacketLoop loop = make("- {id: ok, name: ok, action: Allow, conditions: {}}\n", c.settings);
        for (int i = 0; i < 250; ++i) loop.process(udp("10.0.0.1", "10.0.0.2", 80), std::chrono::steady_clock::now());
        EXPECT_EQ(loop.normal_logs().size(), c.sampled);
        if (c.sampled > 0) {
            EXPECT_EQ(loop.normal_logs().snapshot().back().detail, "allow");
        }
    }
}

}  // namespace
}  // namespace tarvo
