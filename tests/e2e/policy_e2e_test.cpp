#include <signal.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "e2e/daemon.h"
#include "support/testbed.h"

namespace tarvo::test {
namespace {

using ::testing::HasSubstr;
using namespace std::chrono_literals;

const std::filesystem::path kAlertsLog = "/var/log/tarvo/alerts.log";

TEST(PolicyE2E, RuleDecisionsFollowTheRulesFileWhileRunning) {
    if (!is_root()) GTEST_SKIP() << "needs root for the test bed and capture";
    Testbed bed("tvpol");
    ASSERT_TRUE(bed.ok());
    const std::string alert_rules =
        "- {id: watch-udp, name: Watch UDP 40000, action: Alert,\n"
        "   conditions: {protocols: [udp], dst_ports: [40000]}}\n"
        "- {id: pre, name: Pre-blocked, action: Block, conditions: {dst_ips: [203.0.113.5, 192.0.2.0/24, 0.0.0.0]}}\n";
    DaemonLayout layout(config_for(bed.host_if()), alert_rules);
    std::error_code ec;
    const auto offset = std::filesystem::file_size(kAlertsLog, ec);
    auto daemon = layout.start();
    ASSERT_TRUE(daemon->wait_for_output("Capture thread started", 20s)) << daemon->out();
    EXPECT_THAT(daemon->out(), HasSubstr("Policy hot-reload active"));
    EXPECT_THAT(daemon->out(),
                HasSubstr("Using auto-built BPF filter, filter: \"(ip or ip6) and not (host 203.0.113.5)\""));

    const std::string send10 = "import socket\ns = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                               "for i in range(10):\n    s.sendto(b'x', ('" + bed.host4() + "', 40000))\n";
    ASSERT_EQ(bed.python(send10), 0);
    std::this_thread::sleep_for(300ms);

    // Rewrite the rules: the same traffic is now blocked.
    write_file(layout.configs() / "rules.yaml",
               "- {id: stop-udp, name: Stop UDP 40000, action: Block, conditions: {dst_ports: [40000]}}\n");
    ASSERT_TRUE(daemon->wait_for_output("Policy rules reloaded successfully", 5s)) << daemon->out();
    ASSERT_EQ(bed.python(send10), 0);
    std::this_thread::sleep_for(300ms);
    daemon->send(SIGINT);
    ASSERT_EQ(daemon->wait_exit(20s), std::optional<int>(0));

    std::string alerts = read_file(kAlertsLog);
    alerts = offset <= alerts.size() ? alerts.substr(offset) : alerts;
    const std::string flow = "src=" + bed.ns4() + ":";
    EXPECT_EQ(count_of(alerts, "] ALERT " + flow), 10U) << alerts;
    EXPECT_EQ(count_of(alerts, "] BLOCK " + flow), 10U) << alerts;
    EXPECT_THAT(alerts, HasSubstr("dst=" + bed.host4() + ":40000 proto=UDP rule=proc=unknown\n"));
    EXPECT_LT(alerts.find("] ALERT " + flow), alerts.find("] BLOCK " + flow));
    EXPECT_THAT(daemon->out(), HasSubstr("|  Threats Blocked         :           10 "));
    EXPECT_THAT(daemon->out(), HasSubstr("|  Security Alerts Raised  :           10 "));
}

}  // namespace
}  // namespace tarvo::test
