#include "detector/tracker.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

namespace tarvo::detector {
namespace {

using namespace std::chrono_literals;

constexpr std::uint8_t kFin = 0x01, kSyn = 0x02, kRst = 0x04, kPsh = 0x08, kAck = 0x10, kUrg = 0x20;

const IpAddr kSrc = *IpAddr::parse("203.0.113.9");

enum class Kind { Tcp, Udp, Icmp };

struct Packet {
    Kind kind;
    std::uint16_t port = 0;
    std::uint8_t flags = 0;
    std::chrono::milliseconds after{1};  // time since the previous packet
};

struct Case {
    const char* name;
    std::vector<Packet> packets;
    std::optional<std::string_view> process;
    bool inbound;
    // 1-based packet index -> category that fires there; no other packet may fire.
    std::map<std::size_t, ThreatCategory> want;
};

std::vector<Packet> repeat(std::size_t n, const std::function<Packet(std::size_t)>& make) {
    std::vector<Packet> out;
    for (std::size_t i = 0; i < n; ++i) out.push_back(make(i));
    return out;
}

std::vector<Packet> concat(std::vector<Packet> a, const std::vector<Packet>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// SYN-only probes to ports 10 apart: never adjacent, so never sequential.
Packet syn_probe(std::size_t i) { return {Kind::Tcp, static_cast<std::uint16_t>(1000 + 10 * i), kSyn}; }

std::map<std::size_t, ThreatCategory> run(const Case& c, ScanTracker& t, Instant& now) {
    std::map<std::size_t, ThreatCategory> got;
    for (std::size_t i = 0; i < c.packets.size(); ++i) {
        const Packet& p = c.packets[i];
        now += p.after;
        std::optional<ThreatDetection> d;
        switch (p.kind) {
            case Kind::Tcp: d = t.observe_tcp(kSrc, p.port, p.flags, classify_process(c.process), c.inbound, now); break;
            case Kind::Udp: d = t.observe_udp(kSrc, p.port, classify_process(c.process), c.inbound, now); break;
            case Kind::Icmp: d = t.observe_icmp(kSrc, classify_process(c.process), c.inbound, now); break;
        }
        if (d) {
            EXPECT_EQ(d->source, kSrc);
            got[i + 1] = d->category;
        }
    }
    return got;
}

TEST(ScanTracker, DetectsPacketSequences) {
    using C = ThreatCategory;
    const Case cases[] = {
        {"SYN scan at the 20th non-adjacent SYN, breadth scan next, then cooldowns",
         repeat(40, syn_probe), std::nullopt, false, {{20, C::SynScan}, {21, C::ConnectScan}}},
        {"adjacent SYNs: sequential connect scan at the 12th port",
         repeat(20, [](std::size_t i) { return Packet{Kind::Tcp, static_cast<std::uint16_t>(2000 + i), kSyn}; }),
         std::nullopt, false, {{12, C::ConnectScan}, {20, C::SynScan}}},
        {"11 adjacent SYN-ACKs do not fire",
         repeat(11, [](std::size_t i) { return Packet{Kind::Tcp, static_cast<std::uint16_t>(1000 + i), kSyn | kAck}; }),
         std::nullopt, false, {}},
        {"12 adjacent SYN-ACKs fire the sequential scan",
         repeat(12, [](std::size_t i) { return Packet{Kind::Tcp, static_cast<std::uint16_t>(1000 + i), kSyn | kAck}; }),
         std::nullopt, false, {{12, C::ConnectScan}}},
        {"descending ports count as neighbours too",
         repeat(12, [](std::size_t i) { return Packet{Kind::Tcp, static_cast<std::uint16_t>(5000 - i), kAck | kPsh}; }),
         std::nullopt, false, {{12, C::ConnectScan}}},
        {"NULL scan at the second port", {{Kind::Tcp, 1, 0}, {Kind::Tcp, 2, 0}, {Kind::Tcp, 3, 0}},
         std::nullopt, false, {{2, C::NullScan}}},
        {"FIN scan at the second port", {{Kind::Tcp, 1, kFin}, {Kind::Tcp, 7, kFin}}, std::nullopt, false,
         {{2, C::FinScan}}},
        {"XMAS scan at the second port, RST allowed",
         {{Kind::Tcp, 1, kFin | kPsh | kUrg}, {Kind::Tcp, 9, kFin | kPsh | kUrg | kRst}}, std::nullopt,
         false, {{2, C::XmasScan}}},
        {"OS scan from two odd combinations on one port",
         {{Kind::Tcp, 80, 0}, {Kind::Tcp, 80, kFin | kPsh | kUrg}}, std::nullopt, false,
         {{2, C::OsScan}}},
        {"ACK scan at 8 ports without an earlier SYN",
         repeat(8, [](std::size_t i) { return Packet{Kind::Tcp, static_cast<std::uint16_t>(100 + 7 * i), kAck}; }),
         std::nullopt, false, {{8, C::AckScan}}},
        {"no ACK scan after a SYN-only packet",
         concat({{Kind::Tcp, 5, kSyn}},
                repeat(8, [](std::size_t i) { return Packet{Kind::Tcp, static_cast<std::uint16_t>(100 + 7 * i), kAck}; })),
         std::nullopt, false, {}},
        {"breadth connect scan at 20 non-adjacent ports",
         repeat(20, [](std::size_t i) { return Packet{Kind::Tcp, static_cast<std::uint16_t>(100 + 3 * i), kAck | kPsh}; }),
         std::nullopt, false, {{20, C::ConnectScan}}},
        {"SYN flood at 200 SYNs to one port",
         repeat(200, [](std::size_t) { return Packet{Kind::Tcp, 80, kSyn}; }), std::nullopt, false,
         {{200, C::SynFlood}}},
        {"busy tool: SYN flood at 400",
         repeat(400, [](std::size_t) { return Packet{Kind::Tcp, 80, kSyn}; }), "curl", false,
         {{400, C::SynFlood}}},
        {"known app, not inbound: SYN flood at 1000 and no scans",
         repeat(1000, [](std::size_t i) { return Packet{Kind::Tcp, static_cast<std::uint16_t>(1 + i % 60 * 2), kSyn}; }),
         "firefox", false, {{1000, C::SynFlood}}},
        {"UDP scan at 20 ports", repeat(25, [](std::size_t i) { return Packet{Kind::Udp, static_cast<std::uint16_t>(i * 2)}; }),
         std::nullopt, false, {{20, C::UdpScan}}},
        {"busy tool: UDP scan at 40 ports",
         repeat(40, [](std::size_t i) { return Packet{Kind::Udp, static_cast<std::uint16_t>(i * 2)}; }), "python3",
         false, {{40, C::UdpScan}}},
        {"inbound UDP ignored", repeat(30, [](std::size_t i) { return Packet{Kind::Udp, static_cast<std::uint16_t>(i)}; }),
         std::nullopt, true, {}},
        {"known app UDP ignored", repeat(30, [](std::size_t i) { return Packet{Kind::Udp, static_cast<std::uint16_t>(i)}; }),
         "chrome", false, {}},
        {"ping: flood at the 5th, sweep at the 6th", repeat(8, [](std::size_t) { return Packet{Kind::Icmp}; }),
         std::nullopt, false, {{5, C::PingFlood}, {6, C::PingSweep}}},
        {"ping, busy tool: sweep at 5, flood at 15", repeat(15, [](std::size_t) { return Packet{Kind::Icmp}; }),
         "bash", false, {{5, C::PingSweep}, {15, C::PingFlood}}},
        {"ping, known app not inbound: flood at 25 only",
         repeat(26, [](std::size_t) { return Packet{Kind::Icmp}; }), "systemd", false, {{25, C::PingFlood}}},
        {"ping, known app inbound: sweep at 5",
         repeat(6, [](std::size_t) { return Packet{Kind::Icmp}; }), "systemd", true, {{5, C::PingSweep}}},
        {"ping flood again once its 10 s cooldown passed",
         concat(repeat(5, [](std::size_t) { return Packet{Kind::Icmp}; }), {{Kind::Icmp, 0, 0, 10s}}),
         std::nullopt, false, {{5, C::PingFlood}, {6, C::PingFlood}}},
        {"SYN scan again after 60 s, not after 59",
         concat(concat(repeat(20, syn_probe), {{Kind::Tcp, 3, kSyn, 59s}}), {{Kind::Tcp, 4, kSyn, 1s}}),
         std::nullopt, false, {{20, C::SynScan}, {21, C::ConnectScan}, {22, C::SynScan}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Instant now{};
        now += 1h;
        ScanTracker tracker(now);
        EXPECT_EQ(run(c, tracker, now), c.want);
    }
}

TEST(ScanTracker, CompactionClearsAfter65DistinctPorts) {
    Instant now = Instant{} + 1h;
    ScanTracker t(now);
    // ACK|PSH to ports 3 apart: only the breadth scan could fire, at 20 ports.
    for (std::uint16_t i = 0; i < 80; ++i) {
        now += 1ms;
        (void)t.observe_tcp(kSrc, static_cast<std::uint16_t>(i * 3), kAck | kPsh, ProcessClass::Neither, false, now);
        const SourceState& s = t.entry(kSrc);
        // Compaction runs on every 16th packet: 80 is the first multiple of 16 past 65 ports.
        if (i + 1 == 64) {
            EXPECT_EQ(s.distinct_ports.size(), 64U);
        }
        if (i + 1 == 80) {
            EXPECT_TRUE(s.distinct_ports.empty());
            EXPECT_TRUE(s.port_history.empty());
        }
    }
}

TEST(ScanTracker, GarbageCollectionDropsIdleSources) {
    Instant now = Instant{} + 1h;
    ScanTracker t(now);
    (void)t.observe_icmp(kSrc, ProcessClass::Neither, false, now);
    now += 61s;
    for (int i = 0; i < 1023; ++i) t.maintenance_tick(now);
    EXPECT_TRUE(t.contains(kSrc));  // only every 1024th tick collects
    t.maintenance_tick(now);
    EXPECT_FALSE(t.contains(kSrc));
}

// Regression: a flood with a fresh spoofed source per packet grew the source map until
// the process ran out of memory; the map now stays at its capacity, evicting the
// source seen longest ago.
TEST(ScanTracker, SpoofedSourcesStayWithinCapacity) {
    Instant now = Instant{} + 1h;
    ScanTracker t(now, 1000);
    const IpAddr keep = *IpAddr::parse("198.51.100.1");
    for (std::uint32_t i = 0; i < 50'000; ++i) {
        now += 1us;
        (void)t.observe_tcp(IpAddr::v4(0x0B000000U + i), 80, kSyn, ProcessClass::Neither, false, now);
        if (i % 100 == 0) (void)t.observe_tcp(keep, 80, kSyn, ProcessClass::Neither, false, now);
        ASSERT_LE(t.size(), 1000U);
    }
    EXPECT_EQ(t.size(), 1000U);
    EXPECT_TRUE(t.contains(keep));  // seen recently, so never the one evicted
    EXPECT_TRUE(t.contains(IpAddr::v4(0x0B000000U + 49'999)));
    EXPECT_FALSE(t.contains(IpAddr::v4(0x0B000000U)));
}

TEST(IsSequential, NeedsTwelveNeighboursAmongTheNewest64) {
    std::vector<std::uint16_t> h;
    for (std::uint16_t p = 100; p < 112; ++p) h.push_back(p);
    EXPECT_TRUE(is_sequential(h));
    h.pop_back();
    EXPECT_FALSE(is_sequential(h));
    // Repeats do not break the run: only first occurrences (newest first) count.
    std::vector<std::uint16_t> repeats;
    for (std::uint16_t p = 100; p < 112; ++p) repeats.insert(repeats.end(), {p, p});
    EXPECT_TRUE(is_sequential(repeats));
}

}  // namespace
}  // namespace tarvo::detector

namespace tarvo::detector {
namespace {

// The table against a plain model: evictions follow last use, removals keep every
// other source findable (the probe chains survive deletion).
TEST(SourceTable, MatchesAnLruModelUnderChurn) {
    SourceTable table(64);
    std::vector<IpAddr> model;  // most recently used last
    std::uint32_t x = 12345;
    for (int step = 0; step < 20'000; ++step) {
        x = x * 1103515245U + 12345U;
        const IpAddr a = IpAddr::v4(0xC6336400U + (x >> 16U) % 150);  // 150 addresses, 64 slots
        if ((x >> 8U) % 50 == 0) {
            // Remove every source whose last byte is odd, as a collection would.
            table.sweep([](const SourceState& s) { return s.packet_count % 2 == 1; },
                        [](SourceState&) {});
            std::erase_if(model, [](const IpAddr& m) { return (m.v4_value() & 1U) == 1; });
        }
        SourceState& s = table.get_or_create(a);
        s.packet_count = a.v4_value();  // remembers its own address
        std::erase(model, a);
        if (model.size() == 64) model.erase(model.begin());
        model.push_back(a);
        ASSERT_EQ(table.size(), model.size());
    }
    for (const IpAddr& m : model) {
        EXPECT_TRUE(table.contains(m));
        EXPECT_EQ(table.get_or_create(m).packet_count, m.v4_value());
    }
}

}  // namespace
}  // namespace tarvo::detector
