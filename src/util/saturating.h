#pragma once

#include <atomic>
#include <cstdint>
#include <limits>

namespace tarvo {

inline constexpr std::uint64_t kSaturated = std::numeric_limits<std::uint64_t>::max();

// a + b, stopping at the maximum instead of wrapping.
constexpr std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
    return a > kSaturated - b ? kSaturated : a + b;
}

// A counter shared between threads that stops at its maximum instead of wrapping.
class SaturatingCounter {
public:
    void add(std::uint64_t n = 1) noexcept {
        std::uint64_t cur = value_.load(std::memory_order_relaxed);
        while (cur != kSaturated &&
               !value_.compare_exchange_weak(cur, saturating_add(cur, n), std::memory_order_relaxed)) {
        }
    }
    std::uint64_t load() const noexcept { return value_.load(std::memory_order_relaxed); }
    void store(std::uint64_t v) noexcept { value_.store(v, std::memory_order_relaxed); }

private:
    std::atomic<std::uint64_t> value_{0};
};

}  // namespace tarvo
