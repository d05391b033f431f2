#include "detector/tracker.h"

#include <algorithm>
#include <bitset>

namespace tarvo::detector {
namespace {

constexpr auto kWindow = std::chrono::seconds(10);
constexpr auto kIdleSource = 3 * kWindow;
constexpr auto kGcInterval = std::chrono::seconds(60);
constexpr std::uint64_t kGcTicks = 1024;
constexpr std::uint64_t kCompactEvery = 16;

constexpr std::uint8_t kFin = 0x01;
constexpr std::uint8_t kSyn = 0x02;
constexpr std::uint8_t kRst = 0x04;
constexpr std::uint8_t kPsh = 0x08;
constexpr std::uint8_t kAck = 0x10;
constexpr std::uint8_t kUrg = 0x20;

std::size_t cooldown_slot(ThreatCategory c) {
    switch (c) {
        case ThreatCategory::PingSweep: return 0;
        case ThreatCategory::PingFlood: return 1;
        case ThreatCategory::SynScan: return 2;
        case ThreatCategory::ConnectScan: return 3;
        case ThreatCategory::NullScan: return 4;
        case ThreatCategory::FinScan: return 5;
        case ThreatCategory::XmasScan: return 6;
        case ThreatCategory::AckScan: return 7;
        case ThreatCategory::UdpScan: return 8;
        case ThreatCategory::OsScan: return 9;
        case ThreatCategory::SynFlood: return 10;
    }
    return 0;
}

bool cooling_down(const SourceState& s, ThreatCategory category, std::chrono::seconds cooldown,
                  Instant now) {
    const Instant stamp = s.cooldowns[cooldown_slot(category)];
    // Whole seconds truncated toward zero compare as the nanoseconds do.
    return stamp != Instant{} && now - stamp < cooldown;
}

// Fires `category` when its cooldown allows, stamping the time.
std::optional<ThreatDetection> fire(SourceState& s, const IpAddr& src, ThreatCategory category,
                                    Severity severity, std::string_view description,
                                    std::chrono::seconds cooldown, Instant now) {
    if (cooling_down(s, category, cooldown, now)) return std::nullopt;
    s.cooldowns[cooldown_slot(category)] = now;
    return ThreatDetection{description, src, severity, category};
}

// Before an element is added: keeps the vector's allocation at a fixed bound once it
// is busy. Compaction trims the contents, and this keeps the capacity from doubling past it.
template <typename T>
[[gnu::always_inline]] inline void make_room(std::vector<T>& v, std::size_t bound) {
    if (v.size() == v.capacity() && v.size() >= 16 && v.capacity() < bound) v.reserve(bound);
}

template <typename T>
void bounded_push(std::vector<T>& v, T value, std::size_t bound) {
    make_room(v, bound);
    v.push_back(value);
}

// Port lists hold at most 64 after a compaction, plus what arrives before the next.
constexpr std::size_t kPortBound = 65 + kCompactEvery;

template <typename T>
void keep_newest(std::vector<T>& v, std::size_t n) {
    v.erase(v.begin(), v.end() - static_cast<std::ptrdiff_t>(n));
}

constexpr std::size_t kSequentialRun = 12;

// Length of the run of consecutive numbers through index `at` of the sorted ports.
std::size_t run_through(const std::vector<std::uint16_t>& ports, std::size_t at) {
    std::size_t lo = at;
    std::size_t hi = at;
    while (lo > 0 && ports[lo - 1] + 1 == ports[lo]) --lo;
    while (hi + 1 < ports.size() && ports[hi] + 1 == ports[hi + 1]) ++hi;
    return hi - lo + 1;
}

[[gnu::noinline]] void record_new_port(SourceState& s, std::uint16_t port) {
    auto& ports = s.distinct_ports;
    const auto at = static_cast<std::size_t>(std::lower_bound(ports.begin(), ports.end(), port) - ports.begin());
    if (at == ports.size() || ports[at] != port) {
        make_room(ports, kPortBound);
        ports.insert(ports.begin() + static_cast<std::ptrdiff_t>(at), port);
        if (!s.has_port_run && run_through(ports, at) >= kSequentialRun) s.has_port_run = true;
    }
    bounded_push(s.port_history, port, kPortBound);
}

void record_port(SourceState& s, std::uint16_t port) {
    // Every port of the history is in the distinct set, so a flow's repeated port needs
    // no search.
    if (!s.port_history.empty() && s.port_history.back() == port) {
        bounded_push(s.port_history, port, kPortBound);
    } else {
        record_new_port(s, port);
    }
}

void touch(SourceState& s, Instant now) {
    s.last_seen = now;
    ++s.packet_count;
}

void maybe_compact(SourceState& s) {
    if (s.packet_count % kCompactEvery == 0) s.compact();
}

}  // namespace

void SourceState::compact() {
    if (distinct_ports.size() >= 65) {
        distinct_ports.clear();
        port_history.clear();
        has_port_run = false;
    } else if (port_history.size() >= 65) {
        keep_newest(port_history, 64);
    }
    if (syn_times.size() > kMaxSynTimes) keep_newest(syn_times, kMaxSynTimes);
    if (icmp_times.size() >= 129) keep_newest(icmp_times, 128);
}

bool is_sequential(const std::vector<std::uint16_t>& history) {
    if (history.size() <= 11) return false;
    // One bit per port: marks the ports already collected during this call.
    thread_local std::bitset<65536> seen;
    std::array<std::uint16_t, 64> collected{};
    std::size_t n = 0;
    for (auto it = history.rbegin(); it != history.rend() && n < collected.size(); ++it) {
        if (seen.test(*it)) continue;
        seen.set(*it);
        collected[n++] = *it;
    }
    for (std::size_t i = 0; i < n; ++i) seen.reset(collected[i]);
    if (n <= 11) return false;
    std::size_t run = 1;
    std::size_t best = 1;
    for (std::size_t i = 1; i < n; ++i) {
        const int diff = static_cast<int>(collected[i]) - static_cast<int>(collected[i - 1]);
        run = diff == 1 || diff == -1 ? run + 1 : 1;
        best = std::max(best, run);
    }
    return best >= 12;
}

void SourceState::reset() {
    port_history.clear();
    distinct_ports.clear();
    syn_times.clear();
    icmp_times.clear();
    last_seen = Instant{};
    flag_combos = 0;
    flag_combo_count = 0;
    odd_flag_combos = 0;
    syn_only_seen = false;
    has_port_run = false;
    packet_count = 0;
    cooldowns.fill(Instant{});
}

SourceTable::SourceTable(std::size_t capacity) : capacity_(std::max<std::size_t>(capacity, 1)) {
    // At most half full, so probe sequences stay short.
    std::size_t positions = 2;
    while (positions < 2 * capacity_) positions *= 2;
    mask_ = positions - 1;
    index_.assign(positions, 0);
    slots_.reserve(std::min<std::size_t>(448, capacity_));
    sentinel_ = static_cast<std::uint32_t>(capacity_);
    links_.resize(capacity_ + 1);
    links_[sentinel_] = Link{sentinel_, sentinel_};
}

void SourceTable::erase(std::uint32_t slot) {
    // Backward-shift deletion keeps every probe sequence unbroken without tombstones.
    std::size_t i = home(slots_[slot].key);
    while (index_[i] != slot + 1) i = (i + 1) & mask_;
    index_[i] = 0;
    for (std::size_t j = (i + 1) & mask_; index_[j] != 0; j = (j + 1) & mask_) {
        const std::size_t k = home(slots_[index_[j] - 1].key);
        // Move entry j back to the hole when its home does not lie in (i, j].
        const bool between = i <= j ? (i < k && k <= j) : (i < k || k <= j);
        if (!between) {
            index_[i] = index_[j];
            index_[j] = 0;
            i = j;
        }
    }
    unlink(slot);
    slots_[slot].live = false;
    slots_[slot].state.reset();
    free_.push_back(slot);
    --size_;
}

std::uint32_t SourceTable::insert(const IpAddr& src) {
    if (size_ >= capacity_) erase(links_[sentinel_].prev);
    std::uint32_t slot = 0;
    if (!free_.empty()) {
        slot = free_.back();
        free_.pop_back();
    } else {
        slot = static_cast<std::uint32_t>(slots_.size());
        slots_.emplace_back();
    }
    Slot& s = slots_[slot];
    s.key = src;
    s.live = true;
    std::size_t i = home(src);
    while (index_[i] != 0) i = (i + 1) & mask_;
    index_[i] = slot + 1;
    push_front(slot);
    ++size_;
    return slot;
}

ScanTracker::ScanTracker(Instant now, std::size_t capacity) : sources_(capacity), last_gc_(now) {}

SourceState& ScanTracker::entry(const IpAddr& src) { return sources_.get_or_create(src); }

std::optional<ThreatDetection> ScanTracker::observe_udp(const IpAddr& src, std::uint16_t dst_port,
                                                        ProcessClass cls, bool inbound_to_inside,
                                                        Instant now) {
    if (inbound_to_inside) return std::nullopt;
    if (cls == ProcessClass::KnownApp) return std::nullopt;
    SourceState& s = entry(src);
    touch(s, now);
    record_port(s, dst_port);
    maybe_compact(s);
    const std::size_t threshold = cls == ProcessClass::BusyTool ? 40 : 20;
    if (s.distinct_ports.size() >= threshold) {
        return fire(s, src, ThreatCategory::UdpScan, Severity::Medium, text::kUdpScan,
                    std::chrono::seconds(60), now);
    }
    return std::nullopt;
}

std::optional<ThreatDetection> ScanTracker::observe_tcp(const IpAddr& src, std::uint16_t dst_port,
                                                        std::uint8_t flags, ProcessClass cls,
                                                        bool inbound_to_inside, Instant now) {
    const bool eligible = cls == ProcessClass::KnownApp ? inbound_to_inside : true;
    const std::size_t flood_threshold =
        cls == ProcessClass::KnownApp ? 1000 : cls == ProcessClass::BusyTool ? 400 : 200;
    const bool doubling = cls == ProcessClass::BusyTool;

    SourceState& s = entry(src);
    touch(s, now);
    record_port(s, dst_port);
    const std::uint64_t bit = std::uint64_t{1} << (flags & 63U);
    if ((s.flag_combos & bit) == 0 && s.flag_combo_count < SourceState::kMaxFlagCombos) {
        s.flag_combos |= bit;
        ++s.flag_combo_count;
        if (flags == 0 || flags == 1 || flags == 41 || flags == 63) ++s.odd_flag_combos;
    }
    // SYN without ACK: half-open attempts, the stuff of SYN scans and floods.
    const bool syn_only = (flags & (kSyn | kAck)) == kSyn;
    if (syn_only) {
        bounded_push(s.syn_times, now, SourceState::kMaxSynTimes + 1 + kCompactEvery);
        s.syn_only_seen = true;
    }
    maybe_compact(s);

    const std::size_t ports = s.distinct_ports.size();
    const std::size_t syns = s.syn_times.size();
    std::optional<ThreatDetection> d;
    if (syn_only && syns >= flood_threshold) {
        d = fire(s, src, ThreatCategory::SynFlood, Severity::Critical, text::kSynFlood,
                 std::chrono::seconds(10), now);
        if (d) return d;
    }
    if (!eligible) return std::nullopt;
    if (ports >= 2) {
        if (flags == 0) {
            d = fire(s, src, ThreatCategory::NullScan, Severity::High, text::kNullScan,
                     std::chrono::seconds(120), now);
            if (d) return d;
        }
        if (flags == kAck && ports >= 8 && !s.syn_only_seen) {
            d = fire(s, src, ThreatCategory::AckScan, Severity::Medium, text::kAckScan,
                     std::chrono::seconds(60), now);
            if (d) return d;
        }
        // FIN alone; or FIN with PSH and URG (RST either way), both without SYN and ACK.
        if (flags == kFin) {
            d = fire(s, src, ThreatCategory::FinScan, Severity::High, text::kFinScan,
                     std::chrono::seconds(120), now);
            if (d) return d;
        }
        if ((flags & (kFin | kSyn | kAck | kPsh | kUrg)) == (kFin | kPsh | kUrg)) {
            d = fire(s, src, ThreatCategory::XmasScan, Severity::High, text::kXmasScan,
                     std::chrono::seconds(120), now);
            if (d) return d;
        }
    }
    if (syn_only && ports >= (doubling ? 30U : 15U) && syns >= (doubling ? 40U : 20U)) {
        d = fire(s, src, ThreatCategory::SynScan, Severity::High, text::kSynScan,
                 std::chrono::seconds(60), now);
        if (d) return d;
    }
    // A sequential history needs 12 consecutive port numbers among the distinct ports
    // (which hold every port of the history), so without them the walk is skipped.
    // The walk is skipped too while the category could not fire anyway.
    if (s.has_port_run && !cooling_down(s, ThreatCategory::ConnectScan, std::chrono::seconds(60), now) &&
        is_sequential(s.port_history)) {
        d = fire(s, src, ThreatCategory::ConnectScan, Severity::Medium, text::kSequentialScan,
                 std::chrono::seconds(60), now);
        if (d) return d;
    }
    if (s.odd_flag_combos >= 2) {
        d = fire(s, src, ThreatCategory::OsScan, Severity::Critical, text::kOsScan,
                 std::chrono::seconds(120), now);
        if (d) return d;
    }
    if (ports >= (doubling ? 40U : 20U)) {
        return fire(s, src, ThreatCategory::ConnectScan, Severity::Medium, text::kConnectScan,
                    std::chrono::seconds(60), now);
    }
    return std::nullopt;
}

std::optional<ThreatDetection> ScanTracker::observe_icmp(const IpAddr& src, ProcessClass cls,
                                                         bool inbound_to_inside, Instant now) {
    const std::size_t flood_threshold =
        cls == ProcessClass::KnownApp ? 25 : cls == ProcessClass::BusyTool ? 15 : 5;
    const bool sweep_eligible = cls == ProcessClass::KnownApp ? inbound_to_inside : true;

    SourceState& s = entry(src);
    touch(s, now);
    bounded_push(s.icmp_times, now, 129 + kCompactEvery);
    maybe_compact(s);
    const std::size_t n = s.icmp_times.size();
    if (n >= flood_threshold) {
        if (auto d = fire(s, src, ThreatCategory::PingFlood, Severity::High, text::kPingFlood,
                          std::chrono::seconds(10), now)) {
            return d;
        }
    }
    if (n >= 5 && sweep_eligible) {
        return fire(s, src, ThreatCategory::PingSweep, Severity::Low, text::kPingSweep,
                    std::chrono::seconds(30), now);
    }
    return std::nullopt;
}

void ScanTracker::maintenance_tick(Instant now) {
    ++ticks_;
    if (ticks_ % kGcTicks != 0 || now - last_gc_ < kGcInterval) return;
    collect_garbage(now);
    last_gc_ = now;
}

void ScanTracker::collect_garbage(Instant now) {
    const Instant idle_cut = now - kIdleSource;
    const Instant window_cut = now - kWindow;
    sources_.sweep([&](const SourceState& s) { return s.last_seen < idle_cut; },
                   [&](SourceState& s) {
                       for (auto* times : {&s.syn_times, &s.icmp_times}) {
                           times->erase(times->begin(),
                                        std::lower_bound(times->begin(), times->end(), window_cut));
                       }
                       s.compact();
                   });
}

}  // namespace tarvo::detector
