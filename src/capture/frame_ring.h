#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace tarvo::capture {

// Bounded single-producer, single-consumer queue of frames. Frames are copied into one
// preallocated byte arena, so neither side allocates per frame. The capture thread
// pushes; the packet loop takes the front frame, uses it in place and pops it.
class FrameRing {
public:
    FrameRing(std::size_t slots, std::size_t arena_bytes);

    enum class Push : std::uint8_t { Ok, Full, Closed };

    // Producer. Full: neither a slot nor arena space is free right now.
    Push try_push(std::span<const std::uint8_t> frame) noexcept;
    // Producer: no more frames will come.
    void finish() noexcept { finished_.store(true, std::memory_order_release); }

    // Consumer: the oldest frame, valid until pop().
    std::optional<std::span<const std::uint8_t>> front() const noexcept;
    void pop() noexcept;
    // Consumer: stop accepting frames; a waiting producer gives up.
    void close() noexcept { closed_.store(true, std::memory_order_release); }

    bool closed() const noexcept { return closed_.load(std::memory_order_acquire); }
    bool finished() const noexcept { return finished_.load(std::memory_order_acquire); }
    std::size_t size() const noexcept;
    std::size_t capacity() const noexcept { return slots_.size(); }

private:
    struct Slot {
        std::uint64_t pos;  // monotonic arena position of the first byte
        std::uint32_t len;
    };
    std::vector<Slot> slots_;
    std::unique_ptr<std::uint8_t[]> arena_;
    std::size_t arena_size_;

    // Each side keeps its own copy of the other side's index and rereads the shared one
    // only when its copy says full (or empty), so the two cores rarely trade cache lines.

    // Producer-owned, read by the consumer.
    alignas(64) std::atomic<std::uint64_t> slot_head_{0};
    std::uint64_t byte_head_ = 0;        // producer only
    std::uint64_t seen_slot_tail_ = 0;   // producer only
    std::uint64_t seen_byte_tail_ = 0;   // producer only
    // Consumer-owned, read by the producer.
    alignas(64) std::atomic<std::uint64_t> slot_tail_{0};
    std::atomic<std::uint64_t> byte_tail_{0};
    mutable std::uint64_t seen_slot_head_ = 0;  // consumer only
    alignas(64) std::atomic<bool> closed_{false};
    std::atomic<bool> finished_{false};
};

}  // namespace tarvo::capture
