#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app.h"
#include "capture/engine.h"
#include "capture/packet_info.h"
#include "detector/gate.h"
#include "detector/tracker.h"
#include "logger/alert.h"
#include "policy/engine.h"
#include "util/net.h"

namespace tarvo {

struct LoopSettings {
    bool log_normal_traffic = false;
    std::uint64_t normal_sample_divisor = 100;  // 0 is taken as 1
    std::uint64_t normal_ring_capacity = 200;   // clamped to 1..2048
};

// The components the loop reports to.
struct LoopOutputs {
    GlobalCountersPtr counters;
    logger::AlertLoggerPtr alerts;                       // may be null: lines are dropped
    std::shared_ptr<const logger::ClockCache> clock;     // may be null: time formatted per event
    policy::PolicyEnginePtr policy;                      // may be null: everything is allowed
};

// The per-packet pipeline: counting, attribution, detection, enforcement, policy and
// statistics, in that order. Owned and driven by the main task (the daemon) or by the
// replay benchmark; its state needs no locks.
class PacketLoop {
public:
    PacketLoop(LoopOutputs outputs, detector::DetectionGate gate, LoopSettings settings,
               std::chrono::steady_clock::time_point now);
    explicit PacketLoop(GlobalCountersPtr counters);  // counting only: no outputs, no gate data

    // Runs one decoded packet through every stage. `now` is the one clock read for it.
    void process(const capture::PacketInfo& packet, std::chrono::steady_clock::time_point now);

    std::uint64_t packets() const noexcept { return packet_counter_; }
    const logger::Ring<logger::LogEntry>& recent_logs() const { return recent_logs_; }
    const logger::Ring<std::string>& recent_threats() const { return recent_threats_; }
    const logger::Ring<logger::LogEntry>& normal_logs() const { return normal_logs_; }
    const detector::ScanTracker& tracker() const { return tracker_; }

private:
    // Both run for every packet: inlined into process(), their rare paths kept out of line.
    [[gnu::always_inline]] inline std::optional<detector::ThreatDetection> detect(const capture::PacketInfo& packet,
                                                    capture::Protocol::Kind kind,
                                                    std::optional<std::string_view> process,
                                                    std::chrono::steady_clock::time_point now);
    [[gnu::noinline]] void handle_threat(const detector::ThreatDetection& threat,
                                         std::string_view process);
    [[gnu::always_inline]] inline void apply_policy(const capture::PacketInfo& packet,
                                                    std::string_view process);
    [[gnu::noinline]] void refresh_rules(std::uint64_t version);
    // The BLOCK or ALERT of a matched rule: lines, counters, the recent-log ring.
    [[gnu::noinline]] void record_decision(const capture::PacketInfo& packet, std::string_view process,
                                           bool block);
    [[gnu::noinline]] void sample_normal(const capture::PacketInfo& packet, std::string_view process);
    logger::ClockCache::Text time_text() const;

    LoopOutputs out_;
    detector::DetectionGate gate_;
    LoopSettings settings_;
    detector::ScanTracker tracker_;
    logger::Ring<logger::LogEntry> recent_logs_{logger::kRecentLogsCapacity};
    logger::Ring<std::string> recent_threats_{logger::kRecentThreatsCapacity};
    logger::Ring<logger::LogEntry> normal_logs_;
    std::uint64_t packet_counter_ = 0;  // saturating
    std::uint64_t normal_sample_counter_ = 0;
    // The rules as last seen: refreshed when the engine's version moves, so a packet
    // costs one atomic load instead of a lock.
    std::shared_ptr<const policy::PolicyEngine::RuleSet> rules_;
    std::uint64_t rules_version_ = 0;
};

// Takes one answer from the engine and processes it when it is a packet.
capture::Poll poll_once(capture::CaptureEngine& engine, PacketLoop& loop);

inline constexpr auto kIdlePause = std::chrono::milliseconds(10);

// Feeds the engine's packets to `loop` until `run_flag` is cleared. Only an empty
// queue costs a pause: an undecodable frame is released and the next one taken at once,
// so a flood of non-IP frames cannot hold real traffic back.
net::awaitable<void> run_packet_loop(capture::CaptureEngine& engine, PacketLoop& loop,
                                     const std::atomic<bool>& run_flag);

}  // namespace tarvo
