#include "packet_loop.h"

#include "util/saturating.h"

namespace tarvo {

PacketLoop::PacketLoop(GlobalCountersPtr counters) : counters_(std::move(counters)) {}

void PacketLoop::process(const capture::PacketInfo& packet,
                         std::chrono::steady_clock::time_point now) {
    (void)packet;
    (void)now;
    counters_->packet_count.add();
    packet_counter_ = saturating_add(packet_counter_, 1);
}

capture::Poll poll_once(capture::CaptureEngine& engine, PacketLoop& loop) {
    capture::PacketInfo packet;
    const capture::Poll r = engine.next_packet(packet);
    if (r == capture::Poll::Packet) loop.process(packet, std::chrono::steady_clock::now());
    return r;
}

net::awaitable<void> run_packet_loop(capture::CaptureEngine& engine, PacketLoop& loop,
                                     const std::atomic<bool>& run_flag) {
    constexpr std::uint32_t kYieldEvery = 1024;
    net::steady_timer idle(co_await net::this_coro::executor);
    std::uint32_t busy = 0;
    while (run_flag.load(std::memory_order_relaxed)) {
        if (poll_once(engine, loop) == capture::Poll::Empty) {
            busy = 0;
            idle.expires_after(kIdlePause);
            co_await idle.async_wait(net::use_awaitable);
        } else if (++busy == kYieldEvery) {
            // Under steady traffic, let the signal task and others have this thread too.
            busy = 0;
            co_await net::post(co_await net::this_coro::executor, net::use_awaitable);
        }
    }
}

}  // namespace tarvo
