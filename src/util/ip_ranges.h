#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "util/ip.h"

namespace tarvo {

// Addresses as numbers, for ordered structures over address ranges.
using U128 = std::pair<std::uint64_t, std::uint64_t>;  // high and low halves, host order
U128 to_u128(const IpAddr& a) noexcept;                 // an IPv6 address's 16 bytes
std::pair<std::uint32_t, std::uint32_t> v4_bounds(const IpNetwork& n) noexcept;  // first, last
std::pair<U128, U128> v6_bounds(const IpNetwork& n) noexcept;
// The address after `v` in `next`; false at the top of the space.
bool next_address(std::uint32_t v, std::uint32_t& next) noexcept;
bool next_address(const U128& v, U128& next) noexcept;

// A set of addresses kept as sorted, disjoint [first, last] ranges per family, built
// from networks: membership is one binary search however many networks went in.
// IPv4 and IPv6 stay apart (a mapped IPv6 address is not its IPv4 address).
class IpRanges {
public:
    IpRanges() = default;
    explicit IpRanges(const std::vector<IpNetwork>& networks);

    void add(const IpNetwork& network);  // takes effect at the next finish()
    void finish();                       // sorts and merges what was added

    bool contains(const IpAddr& a) const noexcept {
        return a.is_v4() ? contains_v4(a.v4_value()) : contains_v6(a);
    }
    bool contains_v4(std::uint32_t v) const noexcept {  // inline: the packet path asks
        auto it = std::upper_bound(v4_.begin(), v4_.end(), v,
                                   [](std::uint32_t x, const auto& r) { return x < r.first; });
        return it != v4_.begin() && v <= (--it)->second;
    }
    bool empty() const noexcept { return v4_.empty() && v6_.empty(); }

    // The merged IPv4 ranges, ascending.
    const std::vector<std::pair<std::uint32_t, std::uint32_t>>& v4_ranges() const noexcept {
        return v4_;
    }

private:
    bool contains_v6(const IpAddr& a) const noexcept;

    std::vector<std::pair<std::uint32_t, std::uint32_t>> v4_;
    std::vector<std::pair<U128, U128>> v6_;
};

}  // namespace tarvo
