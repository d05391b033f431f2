#include "util/ip_ranges.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

namespace tarvo {
U128 to_u128(const IpAddr& a) noexcept {
    std::uint64_t hi = 0;
    std::uint64_t lo = 0;
    std::memcpy(&hi, a.bytes().data(), 8);
    std::memcpy(&lo, a.bytes().data() + 8, 8);
    if constexpr (std::endian::native == std::endian::little) {
        hi = __builtin_bswap64(hi);
        lo = __builtin_bswap64(lo);
    }
    return {hi, lo};
}

std::pair<std::uint32_t, std::uint32_t> v4_bounds(const IpNetwork& n) noexcept {
    const std::uint32_t first = n.address().v4_value();  // host bits already clear
    return {first, first | (n.prefix() >= 32 ? 0U : 0xFFFFFFFFU >> n.prefix())};
}

std::pair<U128, U128> v6_bounds(const IpNetwork& n) noexcept {
    constexpr std::uint64_t kAll = std::numeric_limits<std::uint64_t>::max();
    const unsigned prefix = n.prefix();
    const U128 first = to_u128(n.address());
    const std::uint64_t host_hi = prefix >= 64 ? 0 : kAll >> prefix;
    const std::uint64_t host_lo = prefix >= 128 ? 0 : prefix <= 64 ? kAll : kAll >> (prefix - 64);
    return {first, U128{first.first | host_hi, first.second | host_lo}};
}

bool next_address(std::uint32_t v, std::uint32_t& next) noexcept {
    if (v == std::numeric_limits<std::uint32_t>::max()) return false;
    next = v + 1;
    return true;
}

bool next_address(const U128& v, U128& next) noexcept {
    constexpr std::uint64_t kAll = std::numeric_limits<std::uint64_t>::max();
    if (v.first == kAll && v.second == kAll) return false;
    next = v.second == kAll ? U128{v.first + 1, 0} : U128{v.first, v.second + 1};
    return true;
}

namespace {

// Sorts and joins overlapping or adjacent ranges.
template <typename T>
void merge(std::vector<std::pair<T, T>>& ranges) {
    std::sort(ranges.begin(), ranges.end());
    std::vector<std::pair<T, T>> merged;
    for (const auto& r : ranges) {
        if (!merged.empty()) {
            auto& back = merged.back();
            T after{};
            if (!next_address(back.second, after) || r.first <= after) {
                back.second = std::max(back.second, r.second);
                continue;
            }
        }
        merged.push_back(r);
    }
    ranges = std::move(merged);
}

template <typename T>
bool search(const std::vector<std::pair<T, T>>& ranges, const T& v) {
    auto it = std::upper_bound(ranges.begin(), ranges.end(), v,
                               [](const T& x, const auto& r) { return x < r.first; });
    if (it == ranges.begin()) return false;
    --it;
    return v <= it->second;
}

}  // namespace

IpRanges::IpRanges(const std::vector<IpNetwork>& networks) {
    for (const auto& n : networks) add(n);
    finish();
}

void IpRanges::add(const IpNetwork& network) {
    if (network.address().is_v4()) {
        v4_.push_back(v4_bounds(network));
    } else {
        v6_.push_back(v6_bounds(network));
    }
}

void IpRanges::finish() {
    merge(v4_);
    merge(v6_);
}

bool IpRanges::contains_v6(const IpAddr& a) const noexcept {
    return !v6_.empty() && search(v6_, to_u128(a));
}

}  // namespace tarvo
