#include "util/ip_ranges.h"

#include <algorithm>
#include <limits>

namespace tarvo {
namespace {

// Sorts and joins overlapping or adjacent ranges. `next(last, after)` sets the value
// that follows `last` and is false when `last` is the top of the space.
template <typename T, typename Next>
void merge(std::vector<std::pair<T, T>>& ranges, Next next) {
    std::sort(ranges.begin(), ranges.end());
    std::vector<std::pair<T, T>> merged;
    for (const auto& r : ranges) {
        if (!merged.empty()) {
            auto& back = merged.back();
            T after{};
            if (!next(back.second, after) || r.first <= after) {
                back.second = std::max(back.second, r.second);
                continue;
            }
        }
        merged.push_back(r);
    }
    ranges = std::move(merged);
}

template <typename T, typename V>
bool search(const std::vector<std::pair<T, T>>& ranges, const V& v) {
    auto it = std::upper_bound(ranges.begin(), ranges.end(), v,
                               [](const V& x, const auto& r) { return x < r.first; });
    if (it == ranges.begin()) return false;
    --it;
    return v <= it->second;
}

}  // namespace

IpRanges::IpRanges(const std::vector<IpNetwork>& networks) {
    for (const auto& n : networks) add(n);
    finish();
}

IpRanges::U128 IpRanges::to_u128(const IpAddr& a) noexcept {
    std::uint64_t hi = 0;
    std::uint64_t lo = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        hi = (hi << 8U) | a.bytes()[i];
        lo = (lo << 8U) | a.bytes()[i + 8];
    }
    return {hi, lo};
}

void IpRanges::add(const IpNetwork& network) {
    const IpAddr& base = network.address();  // host bits already clear
    const unsigned prefix = network.prefix();
    if (base.is_v4()) {
        const std::uint32_t host = prefix >= 32 ? 0 : 0xFFFFFFFFU >> prefix;
        v4_.emplace_back(base.v4_value(), base.v4_value() | host);
        return;
    }
    const U128 first = to_u128(base);
    constexpr std::uint64_t kAll = std::numeric_limits<std::uint64_t>::max();
    const std::uint64_t host_hi = prefix >= 64 ? 0 : kAll >> prefix;
    const std::uint64_t host_lo = prefix >= 128 ? 0 : prefix <= 64 ? kAll : kAll >> (prefix - 64);
    v6_.emplace_back(first, U128{first.first | host_hi, first.second | host_lo});
}

void IpRanges::finish() {
    merge(v4_, [](std::uint32_t last, std::uint32_t& after) {
        if (last == std::numeric_limits<std::uint32_t>::max()) return false;
        after = last + 1;
        return true;
    });
    merge(v6_, [](const U128& last, U128& after) {
        constexpr std::uint64_t kAll = std::numeric_limits<std::uint64_t>::max();
        if (last.first == kAll && last.second == kAll) return false;
        after = last.second == kAll ? U128{last.first + 1, 0} : U128{last.first, last.second + 1};
        return true;
    });
}

bool IpRanges::contains_v4(std::uint32_t v) const noexcept { return search(v4_, v); }

bool IpRanges::contains_v6(const IpAddr& a) const noexcept {
    return !v6_.empty() && search(v6_, to_u128(a));
}

}  // namespace tarvo
