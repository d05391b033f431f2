#include "capture/frame_ring.h"

#include <algorithm>
#include <cstring>

namespace tarvo::capture {

FrameRing::FrameRing(std::size_t slots, std::size_t arena_bytes)
    : slots_(slots), arena_(new std::uint8_t[arena_bytes]), arena_size_(arena_bytes) {}

FrameRing::Push FrameRing::try_push(std::span<const std::uint8_t> frame) noexcept {
    if (closed()) return Push::Closed;
    const std::size_t len = std::min(frame.size(), arena_size_);
    const std::uint64_t head = slot_head_.load(std::memory_order_relaxed);
    if (head - seen_slot_tail_ >= slots_.size()) {
        seen_slot_tail_ = slot_tail_.load(std::memory_order_acquire);
        if (head - seen_slot_tail_ >= slots_.size()) return Push::Full;
    }
    std::uint64_t pos = byte_head_;
    const std::size_t offset = pos % arena_size_;
    // A frame never wraps: skip the arena's tail when it does not fit there.
    if (offset + len > arena_size_) pos += arena_size_ - offset;
    if (pos + len - seen_byte_tail_ > arena_size_) {
        seen_byte_tail_ = byte_tail_.load(std::memory_order_acquire);
        if (pos + len - seen_byte_tail_ > arena_size_) return Push::Full;
    }
    std::memcpy(arena_.get() + pos % arena_size_, frame.data(), len);
    slots_[head % slots_.size()] = Slot{pos, static_cast<std::uint32_t>(len)};
    byte_head_ = pos + len;
    slot_head_.store(head + 1, std::memory_order_release);
    return Push::Ok;
}

std::optional<std::span<const std::uint8_t>> FrameRing::front() const noexcept {
    const std::uint64_t tail = slot_tail_.load(std::memory_order_relaxed);
    if (tail == seen_slot_head_) {
        seen_slot_head_ = slot_head_.load(std::memory_order_acquire);
        if (tail == seen_slot_head_) return std::nullopt;
    }
    const Slot& s = slots_[tail % slots_.size()];
    return std::span<const std::uint8_t>(arena_.get() + s.pos % arena_size_, s.len);
}

void FrameRing::pop() noexcept {
    const std::uint64_t tail = slot_tail_.load(std::memory_order_relaxed);
    const Slot& s = slots_[tail % slots_.size()];
    byte_tail_.store(s.pos + s.len, std::memory_order_release);
    slot_tail_.store(tail + 1, std::memory_order_release);
}

std::size_t FrameRing::size() const noexcept {
    return static_cast<std::size_t>(slot_head_.load(std::memory_order_acquire) -
                                    slot_tail_.load(std::memory_order_acquire));
}

}  // namespace tarvo::capture
