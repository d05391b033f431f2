#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
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
    std::uint64_t flag_combos = 0;  // bit n: flag combination n was seen (n < 64)
    std::uint8_t flag_combo_count = 0;
    std::uint8_t odd_flag_combos = 0;  // stored combinations among 0, 1, 41 and 63
    bool syn_only_seen = false;
    // The distinct ports hold 12 consecutive numbers: only then can the history be
    // sequential, so the sequential test is skipped while this is false.
    bool has_port_run = false;
    std::uint64_t packet_count = 0;
    // Last detection per category (Instant{} = never), indexed by cooldown_slot().
    std::array<Instant, 11> cooldowns{};

    // Back to a new source's state, keeping the vectors' allocations for reuse.
    void reset();

    // Bounds the vectors again: newest 64 ports (or none once 65 distinct ports were
    // seen), newest kMaxSynTimes SYN times, newest 128 ICMP times.
    void compact();
};

// The per-source states: an open-addressing index over a slab of slots, with the
// slots linked in order of last use, so a lookup touches two arrays and eviction of
// the least recently seen source is O(1). Never holds more than its capacity.
class SourceTable {
public:
    explicit SourceTable(std::size_t capacity);

    // The source's state, created when absent (a full table first evicts the least
    // recently used source); the source becomes the most recently used.
    SourceState& get_or_create(const IpAddr& src) {
        std::uint32_t slot = find(src);
        if (slot == kNil) {
            slot = insert(src);
        } else if (links_[sentinel_].next != slot) {
            unlink(slot);
            push_front(slot);
        }
        return slots_[slot].state;
    }
    bool contains(const IpAddr& src) const { return find(src) != kNil; }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }

    // Removes every source for which `remove(state)` is true; calls `keep(state)` on the rest.
    template <typename Remove, typename Keep>
    void sweep(Remove remove, Keep keep) {
        for (std::uint32_t i = 0; i < slots_.size(); ++i) {
            if (!slots_[i].live) continue;
            if (remove(slots_[i].state)) {
                erase(i);
            } else {
                keep(slots_[i].state);
            }
        }
    }

private:
    static constexpr std::uint32_t kNil = 0xFFFFFFFFU;
    struct Slot {
        IpAddr key;
        SourceState state;
        bool live = false;
    };
    // The recency list is circular through a sentinel (index `sentinel_`), so linking
    // and unlinking need no tests for the ends.
    struct Link {
        std::uint32_t prev;  // towards the most recently used
        std::uint32_t next;
    };

    std::size_t home(const IpAddr& a) const { return std::hash<IpAddr>{}(a) & mask_; }
    std::uint32_t find(const IpAddr& src) const {
        for (std::size_t i = home(src);; i = (i + 1) & mask_) {
            const std::uint32_t entry = index_[i];
            if (entry == 0) return kNil;
            if (slots_[entry - 1].key == src) return entry - 1;
        }
    }
    std::uint32_t insert(const IpAddr& src);
    void erase(std::uint32_t slot);
    void unlink(std::uint32_t slot) {
        const Link l = links_[slot];
        links_[l.prev].next = l.next;
        links_[l.next].prev = l.prev;
    }
    void push_front(std::uint32_t slot) {
        const std::uint32_t first = links_[sentinel_].next;
        links_[slot] = Link{sentinel_, first};
        links_[first].prev = slot;
        links_[sentinel_].next = slot;
    }

    std::size_t capacity_;
    std::size_t mask_;
    std::vector<std::uint32_t> index_;  // slot + 1, or 0 for an empty position
    std::vector<Slot> slots_;
    std::vector<Link> links_;           // one per possible slot, then the sentinel
    std::uint32_t sentinel_;
    std::vector<std::uint32_t> free_;
    std::size_t size_ = 0;
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

    // `cls` is the class of the packet's process (classify_process).
    std::optional<ThreatDetection> observe_udp(const IpAddr& src, std::uint16_t dst_port,
                                               ProcessClass cls, bool inbound_to_inside, Instant now);
    // `flags` packed FIN=1, SYN=2, RST=4, PSH=8, ACK=16, URG=32.
    std::optional<ThreatDetection> observe_tcp(const IpAddr& src, std::uint16_t dst_port,
                                               std::uint8_t flags, ProcessClass cls,
                                               bool inbound_to_inside, Instant now);
    std::optional<ThreatDetection> observe_icmp(const IpAddr& src, ProcessClass cls,
                                                bool inbound_to_inside, Instant now);

    // Called every 1000 packets; collects idle sources at most once per 1024 ticks and
    // 60 seconds.
    void maintenance_tick(Instant now);

    // The source's state, created (evicting the least recently seen source when full).
    SourceState& entry(const IpAddr& src);

    std::size_t size() const noexcept { return sources_.size(); }
    std::size_t capacity() const noexcept { return sources_.capacity(); }
    bool contains(const IpAddr& src) const { return sources_.contains(src); }

private:
    void collect_garbage(Instant now);

    SourceTable sources_;
    std::uint64_t ticks_ = 0;
    Instant last_gc_;
};

// Sequential-scan test: the newest distinct ports (up to 64) hold a run of at
// least 12 neighbours that differ by exactly 1.
bool is_sequential(const std::vector<std::uint16_t>& port_history);

}  // namespace tarvo::detector
