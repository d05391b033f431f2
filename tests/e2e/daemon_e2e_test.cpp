#include <signal.h>

#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "e2e/daemon.h"
#include "preflight.h"
#include "support/testbed.h"

namespace tarvo::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using namespace std::chrono_literals;

constexpr auto kStartup = 20s;

// Each text must appear after the previous one.
void expect_in_order(const std::string& text, const std::vector<std::string>& parts) {
    std::size_t pos = 0;
    for (const auto& p : parts) {
        const std::size_t at = text.find(p, pos);
        ASSERT_NE(at, std::string::npos) << "missing in order: " << p << "\n--- output:\n" << text;
        pos = at + p.size();
    }
}

TEST(DaemonE2E, SignalRunsTheShutdownSequence) {
    if (!is_root()) GTEST_SKIP() << "needs root: the daemon checks its privileges first";
    for (const auto& [sig, name] : {std::pair{SIGINT, "SIGINT"}, std::pair{SIGTERM, "SIGTERM"}}) {
        SCOPED_TRACE(name);
        DaemonLayout layout(kLoopbackConfig);
        auto daemon = layout.start();
        ASSERT_TRUE(daemon->wait_for_output("Signal handlers installed", kStartup)) << daemon->out()
                                                                                  << daemon->err();
        daemon->send(sig);
        daemon->send(sig);  // a second signal is absorbed
        const auto status = daemon->wait_exit(15s);
        ASSERT_TRUE(status.has_value()) << daemon->out();
        EXPECT_EQ(*status, 0) << daemon->err();
        const std::string out = daemon->out();
        const std::string rule(80, '=');
        expect_in_order(out, {
                                 "Loaded platform config: " + layout.configs().string(),
                                 std::string("\n[!] Shutdown signal received (") + name + ")...\n",
                                 "\n" + rule + "\n                       TARVO HALVERIN SOC  --  SHUTDOWN\n",
                                 "\n\x1b[93m[+] Stopping packet capture engine...\x1b[0m\n",
                                 "\x1b[92m[✓] Packet capture engine stopped\x1b[0m\n",
                                 "\x1b[93m[+] Cleaning kernel filtering rules...\x1b[0m\n",
                                 "\x1b[92m[✓] Kernel rules cleaned successfully\x1b[0m\n",
                                 "FINAL OPERATION REPORT",
                                 "|  Total Packets Processed : ",
                                 "                        TARVO HALVERIN  --  OFFLINE\n",
                                 "TARVO stopped successfully - Goodbye Buddy!",
                             });
        EXPECT_EQ(out.find("Shutdown signal received"), out.rfind("Shutdown signal received"));
        EXPECT_THAT(out, Not(HasSubstr("\x1b[91m\n╔")));  // TERM=dumb: plain banners
        EXPECT_EQ(daemon->err(), "");
    }
}

TEST(DaemonE2E, UnprivilegedUserGetsThePrivilegeBox) {
    if (!is_root()) GTEST_SKIP() << "needs root to start a process as another user";
    DaemonLayout layout(kLoopbackConfig);
    auto daemon = layout.start({}, 65534);  // nobody, without capabilities
    const auto status = daemon->wait_exit(10s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 1);
    EXPECT_EQ(daemon->err(), preflight::privilege_box());
    EXPECT_EQ(daemon->out(), "");
}

TEST(DaemonE2E, FatalConfigurationErrorsEndStartup) {
    if (!is_root()) GTEST_SKIP() << "needs root: the daemon checks its privileges first";
    struct Case {
        const char* name;
        std::string config;
        const char* error;
    };
    const Case cases[] = {
        {"missing snaplen", "mode: Block\ncapture_interface: lo\npromiscuous: true\n"
                            "buffer_size_mb: 1\ntimeout_ms: 1\n",
         "missing field `snaplen`"},
        {"empty file", "\n", "empty document"},
        {"unknown mode", std::string(kLoopbackConfig) + "mode: monitor\n", "duplicate field `mode`"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DaemonLayout layout(c.config);
        auto daemon = layout.start();
        const auto status = daemon->wait_exit(15s);
        ASSERT_TRUE(status.has_value());
        EXPECT_EQ(*status, 1);
        const std::string err = daemon->err();
        EXPECT_TRUE(err.starts_with("Error: ")) << err;
        EXPECT_THAT(err, HasSubstr(c.error));
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    }
}

TEST(DaemonE2E, SymlinkedExecutableFindsConfigsBesideItsTarget) {
    if (!is_root()) GTEST_SKIP() << "needs root: the daemon checks its privileges first";
    DaemonLayout layout(kLoopbackConfig);
    TempDir other;
    std::filesystem::create_symlink(layout.binary(), other / "tarvo");
    auto daemon = layout.start({}, std::nullopt, other / "tarvo");
    ASSERT_TRUE(daemon->wait_for_output("Signal handlers installed", kStartup)) << daemon->out();
    EXPECT_THAT(daemon->out(), HasSubstr("Loaded platform config: " + layout.configs().string()));
    daemon->send(SIGINT);
    EXPECT_EQ(daemon->wait_exit(15s), std::optional<int>(0));
}

TEST(DaemonE2E, InterfaceChoiceFailuresEndStartup) {
    if (!is_root()) GTEST_SKIP() << "needs root: the daemon checks its privileges first";
    {
        SCOPED_TRACE("auto with only loopback: the help box");
        DaemonLayout layout(config_for("auto"));
        // A private network namespace holds nothing but lo.
        auto daemon = layout.start({}, std::nullopt, {}, {"/usr/bin/unshare", "-n"});
        ASSERT_EQ(daemon->wait_exit(15s), std::optional<int>(1));
        EXPECT_TRUE(daemon->err().ends_with(preflight::no_interface_box())) << daemon->err();
    }
    {
        SCOPED_TRACE("a named interface that does not exist");
        DaemonLayout layout(config_for("nope0"));
        auto daemon = layout.start();
        ASSERT_EQ(daemon->wait_exit(15s), std::optional<int>(1));
        EXPECT_EQ(daemon->err(), "Error: Network interface 'nope0' not found\n");
    }
}

TEST(DaemonE2E, ReportsThePacketsItCaptured) {
    if (!is_root()) GTEST_SKIP() << "needs root for the test bed and capture";
    Testbed bed("tvdmn");
    ASSERT_TRUE(bed.ok());
    std::string config = config_for(bed.host_if());
    config += "bpf_filter: \"udp dst port 40000\"\n";
    DaemonLayout layout(config);
    auto daemon = layout.start();
    ASSERT_TRUE(daemon->wait_for_output("Signal handlers installed", kStartup)) << daemon->out();
    ASSERT_TRUE(daemon->wait_for_output("Capture thread started", kStartup)) << daemon->out();
    EXPECT_THAT(daemon->out(), HasSubstr("Using config BPF filter, filter: \"udp dst port 40000\""));
    ASSERT_EQ(bed.python("import socket\ns = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                         "for i in range(50):\n    s.sendto(b'x', ('" + bed.host4() + "', 40000))\n"
                         "for i in range(30):\n    s.sendto(b'x', ('" + bed.host4() + "', 40001))\n"),
              0);
    std::this_thread::sleep_for(500ms);
    daemon->send(SIGINT);
    ASSERT_EQ(daemon->wait_exit(15s), std::optional<int>(0));
    EXPECT_THAT(daemon->out(), HasSubstr("|  Total Packets Processed :           50 "));
    EXPECT_THAT(daemon->out(), HasSubstr("Packet capture stopped on " + bed.host_if()));
}

}  // namespace
}  // namespace tarvo::test
