#include <gtest/gtest.h>

#include "capture/file_source.h"
#include "capture/frame_ring.h"
#include "capture/linux.h"
#include "packet_loop.h"
#include "support/frames.h"
#include "support/temp_dir.h"

namespace tarvo::capture {
namespace {

using namespace tarvo::test;
using namespace std::chrono_literals;

TEST(FrameRing, KeepsOrderAcrossArenaWrapAndReportsFull) {
    FrameRing ring(4, 100);
    const Bytes a(40, 'a');
    const Bytes b(40, 'b');
    const Bytes c(40, 'c');
    EXPECT_EQ(ring.try_push(a), FrameRing::Push::Ok);
    EXPECT_EQ(ring.try_push(b), FrameRing::Push::Ok);
    EXPECT_EQ(ring.try_push(c), FrameRing::Push::Full);  // 120 bytes do not fit in 100
    ASSERT_TRUE(ring.front().has_value());
    EXPECT_EQ((*ring.front())[0], 'a');
    ring.pop();
    EXPECT_EQ(ring.try_push(c), FrameRing::Push::Ok);  // wraps to the arena's start
    EXPECT_EQ((*ring.front())[0], 'b');
    ring.pop();
    const auto f = ring.front();
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(Bytes(f->begin(), f->end()), c);
    ring.pop();
    EXPECT_FALSE(ring.front().has_value());

    for (int i = 0; i < 4; ++i) EXPECT_EQ(ring.try_push(Bytes(1, 'x')), FrameRing::Push::Ok);
    EXPECT_EQ(ring.try_push(Bytes(1, 'x')), FrameRing::Push::Full);  // out of slots
    ring.close();
    EXPECT_EQ(ring.try_push(Bytes(1, 'x')), FrameRing::Push::Closed);
}

class CaptureFile : public ::testing::Test {
protected:
    // `non_ip` ARP frames, then `ip` UDP packets.
    std::filesystem::path write(std::size_t non_ip, std::size_t ip) {
        std::vector<Bytes> frames(non_ip, eth(0x0806, arp()));
        for (std::size_t i = 0; i < ip; ++i) {
            frames.push_back(eth(0x0800, ipv4(17, udp(1000, static_cast<std::uint16_t>(i)))));
        }
        const auto path = dir_ / "capture.pcap";
        write_pcap(path, frames);
        return path;
    }
    TempDir dir_;
};

TEST_F(CaptureFile, StartAndStopTwice) {
    const auto path = write(0, 1);
    auto source = PcapFileSource::open(path);
    ASSERT_TRUE(source.has_value());
    auto replay = LinuxCaptureEngine::replay(path);
    for (CaptureEngine* engine : {static_cast<CaptureEngine*>(source->get()),
                                  static_cast<CaptureEngine*>(replay.get())}) {
        PacketInfo p;
        EXPECT_EQ(engine->next_packet(p), Poll::Empty);  // not started
        ASSERT_TRUE(engine->start().has_value());
        const auto again = engine->start();
        ASSERT_FALSE(again.has_value());
        EXPECT_EQ(again.error().kind, CaptureError::Kind::AlreadyStarted);
        ASSERT_TRUE(engine->stop().has_value());
        const auto stopped = engine->stop();
        ASSERT_FALSE(stopped.has_value());
        EXPECT_EQ(stopped.error().kind, CaptureError::Kind::NotStarted);
    }
    EXPECT_EQ(PcapFileSource::open(dir_ / "missing.pcap").error().kind, CaptureError::Kind::PcapError);
}

TEST_F(CaptureFile, FilterRestrictsAndBadFilterFails) {
    const auto path = write(3, 10);
    auto source = PcapFileSource::open(path, std::string("udp dst port 4"));
    ASSERT_TRUE(source.has_value());
    ASSERT_TRUE((*source)->start().has_value());
    PacketInfo p;
    std::vector<std::uint16_t> ports;
    while (!(*source)->exhausted()) {
        if ((*source)->next_packet(p) == Poll::Packet) ports.push_back(p.dst_port);
    }
    EXPECT_EQ(ports, std::vector<std::uint16_t>{4});

    auto bad = LinuxCaptureEngine::replay(path, std::string("udp port ("));
    const auto started = bad->start();
    ASSERT_FALSE(started.has_value());
    EXPECT_EQ(started.error().kind, CaptureError::Kind::InvalidFilter);
}

// Regression: every undecodable frame used to cost the loop a 10 ms pause, so a steady
// trickle of ARP or LLDP frames stalled capture. 5000 of them must not delay the IP
// packets behind them by more than a fraction of a second.
TEST_F(CaptureFile, NonIpFloodDoesNotStallTheLoop) {
    auto engine = LinuxCaptureEngine::replay(write(5000, 300));
    ASSERT_TRUE(engine->start().has_value());
    auto counters = std::make_shared<GlobalCounters>();
    PacketLoop loop(counters);
    std::atomic<bool> run_flag{true};
    net::io_context io;
    net::co_spawn(io, run_packet_loop(*engine, loop, run_flag), net::detached);
    net::steady_timer deadline(io, 1s);
    deadline.async_wait([&](auto) { run_flag = false; });
    io.run();
    EXPECT_EQ(loop.packets(), 300U);
    EXPECT_EQ(counters->packet_count.load(), 300U);
    EXPECT_EQ(engine->undecodable(), 5000U);
}

TEST(LinuxCaptureEngine, ConstructionResolvesTheInterface) {
    const DeviceLister lister = [] {
        Device d;
        d.name = "eth0";
        d.up = true;
        return Expected<std::vector<Device>, CaptureError>(std::vector<Device>{d});
    };
    CaptureSettings s;
    s.interface = "eth7";
    const auto missing = LinuxCaptureEngine::create(s, lister);
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error().message(), "Network interface 'eth7' not found");
    s.interface = "eth0";
    EXPECT_TRUE(LinuxCaptureEngine::create(s, lister).has_value());
}

TEST(LinuxCaptureEngine, LiveStartAndStopTwice) {
    if (::geteuid() != 0) GTEST_SKIP() << "live capture needs root";
    CaptureSettings s;
    s.interface = "lo";
    s.promiscuous = false;
    s.buffer_size_mb = 1;
    auto engine = LinuxCaptureEngine::create(s);
    ASSERT_TRUE(engine.has_value()) << engine.error().message();
    ASSERT_TRUE((*engine)->start().has_value());
    EXPECT_EQ((*engine)->start().error().kind, CaptureError::Kind::AlreadyStarted);
    EXPECT_TRUE((*engine)->stop().has_value());
    EXPECT_EQ((*engine)->stop().error().kind, CaptureError::Kind::NotStarted);
    ASSERT_TRUE((*engine)->start().has_value());  // restartable after a stop
    EXPECT_TRUE((*engine)->stop().has_value());
}

}  // namespace
}  // namespace tarvo::capture
