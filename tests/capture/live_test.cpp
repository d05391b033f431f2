#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "capture/linux.h"
#include "packet_loop.h"
#include "support/testbed.h"

namespace tarvo::capture {
namespace {

using namespace std::chrono_literals;

std::string replace_all(std::string s, const std::string& from, const std::string& to) {
    for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) {
        s.replace(at, from.size(), to);
    }
    return s;
}

// Sends `n` UDP datagrams to HOST:PORT from the namespace.
std::string udp_sender(const test::Testbed& bed, int n, int port) {
    return replace_all(replace_all(replace_all(R"(
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
for i in range(@COUNT@):
    s.sendto(b"tarvo", ("@HOST@", @PORT@))
)", "@HOST@", bed.host4()), "@PORT@", std::to_string(port)), "@COUNT@", std::to_string(n));
}

class LiveCapture : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "live capture on a veth pair needs root";
        bed_ = std::make_unique<test::Testbed>("tvcap");
        ASSERT_TRUE(bed_->ok()) << "test bed did not come up";
    }

    std::unique_ptr<LinuxCaptureEngine> start(std::optional<std::string> filter) {
        CaptureSettings s;
        s.interface = bed_->host_if();
        s.filter = std::move(filter);
        s.buffer_size_mb = 8;
        s.promiscuous = true;
        auto engine = LinuxCaptureEngine::create(s);
        EXPECT_TRUE(engine.has_value());
        if (!engine) return nullptr;
        auto started = (*engine)->start();
        EXPECT_TRUE(started.has_value()) << started.error().message();
        return std::move(*engine);
    }

    std::unique_ptr<test::Testbed> bed_;
};

TEST_F(LiveCapture, CountsWhatTheFilterLetsThrough) {
    auto engine = start(std::string("udp dst port 40000"));
    ASSERT_TRUE(engine);
    ASSERT_EQ(bed_->python(udp_sender(*bed_, 50, 40000) + udp_sender(*bed_, 20, 40001)), 0);
    // TCP to the same port must not pass a UDP filter (the connects are refused).
    ASSERT_EQ(bed_->python(replace_all(R"(
import socket
for i in range(3):
    try:
        socket.create_connection(("@HOST@", 40000), timeout=1).close()
    except OSError:
        pass
)", "@HOST@", bed_->host4())), 0);

    std::vector<PacketInfo> got;
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while (std::chrono::steady_clock::now() < deadline) {
        PacketInfo p;
        if (engine->next_packet(p) == Poll::Packet) {
            got.push_back(p);
        } else {
            std::this_thread::sleep_for(10ms);
        }
    }
    ASSERT_EQ(got.size(), 50U);
    for (const auto& p : got) {
        EXPECT_EQ(p.protocol, Protocol::udp());
        EXPECT_EQ(p.dst_port, 40000);
        EXPECT_EQ(p.src_ip.to_string(), bed_->ns4());
        EXPECT_EQ(p.dst_ip.to_string(), bed_->host4());
    }
    EXPECT_TRUE(engine->stop().has_value());
}

// Regression: a burst of frames that do not decode (here ARP) must not hold back the
// IP packets behind it.
TEST_F(LiveCapture, NonIpFloodDoesNotStallTheLoop) {
    auto engine = start(std::nullopt);
    ASSERT_TRUE(engine);
    auto counters = std::make_shared<GlobalCounters>();
    PacketLoop loop(counters);
    std::atomic<bool> run_flag{true};
    net::io_context io;
    net::co_spawn(io, run_packet_loop(*engine, loop, run_flag), net::detached);
    std::thread runner([&io] { io.run(); });

    const std::string flood = replace_all(replace_all(R"(
import socket
s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
s.bind(("@IFACE@", 0))
mac = s.getsockname()[4]
bcast = b"\xff" * 6
arp = (bcast + mac + b"\x08\x06" + bytes.fromhex("0001080006040001") + mac +
       socket.inet_aton("@NS4@") + b"\x00" * 6 + socket.inet_aton("192.0.2.77"))
for i in range(5000):
    s.send(arp)
ip = (bytes.fromhex("4500001c00004000401100000a0000010a000002") +
      bytes.fromhex("9c4100070008" "0000"))
for i in range(200):
    s.send(bcast + mac + b"\x08\x00" + ip)
)", "@IFACE@", bed_->ns_if()), "@NS4@", bed_->ns4());
    ASSERT_EQ(bed_->python(flood), 0);
    std::this_thread::sleep_for(1s);
    run_flag = false;
    runner.join();
    EXPECT_GE(engine->undecodable(), 5000U);
    EXPECT_GE(loop.packets(), 200U);
}

}  // namespace
}  // namespace tarvo::capture
