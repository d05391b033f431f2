#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "e2e/daemon.h"
#include "support/testbed.h"
#include "util/unique_fd.h"

namespace tarvo::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using namespace std::chrono_literals;

const std::filesystem::path kAlertsLog = "/var/log/tarvo/alerts.log";

std::uintmax_t size_of(const std::filesystem::path& p) {
    std::error_code ec;
    const auto n = std::filesystem::file_size(p, ec);
    return ec ? 0 : n;
}

// What was appended to alerts.log since `offset` (a rotation restarts the file).
std::string appended(std::uintmax_t offset) {
    std::string all = read_file(kAlertsLog);
    return offset <= all.size() ? all.substr(offset) : all;
}

// A listening TCP port on every host address (IPv4 and IPv6): OS detection probes an
// open and a closed port, and sends its odd-flag probes only when it finds both.
UniqueFd listen_any(std::uint16_t port) {
    UniqueFd fd(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int off = 0;
    const int on = 1;
    ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_port = htons(port);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd.get(), 16) != 0) {
        return UniqueFd();
    }
    return fd;
}

class Detection : public ::testing::Test {
protected:
    void SetUp() override {
        if (!is_root()) GTEST_SKIP() << "needs root for the test bed, capture and nmap";
        if (std::system("command -v nmap >/dev/null") != 0) GTEST_SKIP() << "nmap is not installed";
        bed_ = std::make_unique<Testbed>("tvscan");
        ASSERT_TRUE(bed_->ok());
        // All among the ports nmap tries first.
        for (const std::uint16_t port : std::initializer_list<std::uint16_t>{8080, 8081, 8888}) {
            listener_ = listen_any(port);
            if (listener_) break;
        }
        ASSERT_TRUE(listener_) << "no port to listen on for OS detection";
    }

    // Runs `scan` (a test bed scan kind, or "exec ..." for a command in the namespace)
    // against a freshly started daemon; returns the new alerts.log lines and the daemon's
    // standard output.
    std::pair<std::string, std::string> observe(const std::string& scan,
                                                const std::string& extra_config = "") {
        DaemonLayout layout(config_for(bed_->host_if()) + extra_config);
        const auto offset = size_of(kAlertsLog);
        auto daemon = layout.start();
        EXPECT_TRUE(daemon->wait_for_output("Capture thread started", 20s)) << daemon->out();
        const std::string cmd = std::string(TARVO_TESTBED) + " -n tvscan " +
                                (scan.starts_with("exec ") ? scan : "scan " + scan) + " >/dev/null 2>&1";
        EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
        std::this_thread::sleep_for(300ms);  // the loop drains its queue within milliseconds
        daemon->send(SIGINT);
        EXPECT_EQ(daemon->wait_exit(20s), std::optional<int>(0));
        return {appended(offset), daemon->out()};
    }

    std::unique_ptr<Testbed> bed_;
    UniqueFd listener_;
};

TEST_F(Detection, RealScansRaiseTheirCategories) {
    struct Case {
        const char* scan;
        const char* category;
    };
    const Case cases[] = {
        {"syn", "SYN_SCAN"},       {"null", "NULL_SCAN"}, {"fin", "FIN_SCAN"},
        {"xmas", "XMAS_SCAN"},     {"ack", "ACK_SCAN"},   {"udp", "UDP_SCAN"},
        {"connect", "CONNECT_SCAN"}, {"os", "OS_SCAN"},
    };
    for (const char* family : {"", " -6"}) {
        const std::string src = *family == '\0' ? bed_->ns4() : bed_->ns6();
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.scan) + family);
            const auto [alerts, out] = observe(c.scan + std::string(family));
            EXPECT_THAT(alerts, HasSubstr("BLOCK src=" + src + ":0 dst=local:0 proto=DETECT rule=" +
                                          c.category + ":"))
                << alerts;
            EXPECT_THAT(out, HasSubstr("Connection blocked, event: \"BLOCK\", src_ip: \"" + src + "\""));
        }
    }
}

TEST_F(Detection, PingBurstRaisesFloodThenSweep) {
    for (const char* family : {"", " -6"}) {
        SCOPED_TRACE(*family == '\0' ? "IPv4" : "IPv6");
        const std::string src = *family == '\0' ? bed_->ns4() : bed_->ns6();
        // Eight echo requests; nmap's ping scan would use ARP or ND on a local link instead.
        const auto [alerts, out] = observe("exec -- ping -n -c 8 -i 0.01 -W 1" + std::string(family) +
                                           " " + (*family == '\0' ? bed_->host4() : bed_->host6()));
        const auto flood = alerts.find("src=" + src + ":0 dst=local:0 proto=DETECT rule=PING_FLOOD:");
        const auto sweep = alerts.find("src=" + src + ":0 dst=local:0 proto=DETECT rule=PING_SWEEP:");
        ASSERT_NE(flood, std::string::npos) << alerts;
        ASSERT_NE(sweep, std::string::npos) << alerts;
        EXPECT_LT(flood, sweep);
    }
}

TEST_F(Detection, TrustedSourceRaisesNothing) {
    const auto [alerts, out] = observe("syn", "trusted_cidrs: [\"" + bed_->ns4() + "/32\"]\n");
    EXPECT_THAT(alerts, Not(HasSubstr("src=" + bed_->ns4() + ":")));
    EXPECT_THAT(out, Not(HasSubstr("Connection blocked")));
}

}  // namespace
}  // namespace tarvo::test
