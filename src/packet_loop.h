#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "app.h"
#include "capture/engine.h"
#include "capture/packet_info.h"
#include "util/net.h"

namespace tarvo {

// The per-packet pipeline: counting, attribution, detection, enforcement, policy and
// statistics, in that order. Owned and driven by the main task (the daemon) or by the
// replay benchmark; its state needs no locks.
class PacketLoop {
public:
    explicit PacketLoop(GlobalCountersPtr counters);

    // Runs one decoded packet through every stage. `now` is the one clock read for it.
    void process(const capture::PacketInfo& packet, std::chrono::steady_clock::time_point now);

    std::uint64_t packets() const noexcept { return packet_counter_; }

private:
    GlobalCountersPtr counters_;
    std::uint64_t packet_counter_ = 0;  // saturating
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
