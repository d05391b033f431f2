#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "detector/gate.h"
#include "detector/threat.h"
#include "util/ip.h"

namespace tarvo::detector {

using Clock = std::chrono::steady_clock;
using Instant = Clock::time_point;

// Per-source detection state.
struct SourceState {
    static constexpr std::size_t kMaxFlagCombos = 16;
    // Enough SYN times for the highest flood threshold (1000, for known applications):
    // a cap of 256 would make the 400 and 1000 thresholds unreachable.
    static constexpr std::size_t kMaxSynTimes = 1024;

    std::vector<std::uint16_t> port_history;    // destination ports, arrival order
    std::vector<std::uint16_t> distinct_ports;  // sorted
    std::vector<Instant> syn_times;             // SYN without ACK
    std::vector<Instant> icmp_times;
    Instant last_seen{};
    std::array<std::uint8_t, kMaxFlagCombos> flag_combos{};
    std::uint8_t flag_combo_count = 0;
    bool syn_only_seen = false;
    // The distinct ports hold 12 consecutive numbers: only then can the history be
    // sequential, so the sequential test is skipped while this is false.
    bool has_port_run = false;
    std::uint64_t packet_count = 0;
    // Last detection per category (Instant{} = never), indexed by cooldown_slot().
    std::array<Instant, 11> cooldowns{};

    // Bounds the vectors again: newest 64 ports (or none once 65 distinct ports were
    // seen), newest kMaxSynTimes SYN times, newest 128 ICMP times.
    void compact();
};

// Classifies each source's recent TCP, UDP and ICMP behaviour into scan and flood
// categories. Owned by the packet loop (no locking). The number of sources is capped:
// when the map is full, the source seen longest ago makes room for a new one, so a
// flood of spoofed addresses cannot grow memory without bound.
class ScanTracker {
public:
    // Sized so that even sources at their largest (about 10 KiB each, mostly SYN times)
    // keep the whole daemon below 256 MB.
    static constexpr std::size_t kDefaultCapacity = 16'384;

    explicit ScanTracker(Instant now, std::size_t capacity = kDefaultCapacity);

    std::optional<ThreatDetection> observe_udp(const IpAddr& src, std::uint16_t dst_port,
                                               std::optional<std::string_view> process,
                                               bool inbound_to_inside, Instant now);
    // `flags` packed FIN=1, SYN=2, RST=4, PSH=8, ACK=16, URG=32.
    std::optional<ThreatDetection> observe_tcp(const IpAddr& src, std::uint16_t dst_port,
                                               std::uint8_t flags,
                                               std::optional<std::string_view> process,
                                               bool inbound_to_inside, Instant now);
    std::optional<ThreatDetection> observe_icmp(const IpAddr& src,
                                                std::optional<std::string_view> process,
                                                bool inbound_to_inside, Instant now);

    // Called every 1000 packets; collects idle sources at most once per 1024 ticks and
    // 60 seconds.
    void maintenance_tick(Instant now);

    // The source's state, created (evicting the least recently seen source when full).
    SourceState& entry(const IpAddr& src);

    std::size_t size() const noexcept { return map_.size(); }
    std::size_t capacity() const noexcept { return capacity_; }
    bool contains(const IpAddr& src) const { return map_.count(src) != 0; }

private:
    struct Node {
        SourceState state;
        std::list<IpAddr>::iterator lru;
    };
    void collect_garbage(Instant now);

    std::size_t capacity_;
    std::unordered_map<IpAddr, Node> map_;
    std::list<IpAddr> lru_;  // most recently seen first
    IpAddr last_src_;
    SourceState* last_ = nullptr;  // state of last_src_; nodes do not move while present
    std::uint64_t ticks_ = 0;
    Instant last_gc_;
};

// Sequential-scan test: the newest distinct ports (up to 64) hold a run of at
// least 12 neighbours that differ by exactly 1.
bool is_sequential(const std::vector<std::uint16_t>& port_history);

}  // namespace tarvo::detector
