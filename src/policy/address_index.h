#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "util/ip.h"
#include "util/ip_ranges.h"

namespace tarvo::policy {

// Which rules an address condition (src_ips or dst_ips) lets through, by address: the
// address space is cut into pieces on every network boundary the rules name, and each
// piece lists, in rule order, the rules with a network covering it. Rules without the
// condition are listed once, apart. So the rules that can match a packet are those of
// its address's piece plus the unconditioned ones, found by one binary search.
class AddressIndex {
public:
    // Rule `rule` (added in ascending order) with its condition: nullopt for none.
    void add(std::uint32_t rule, const std::optional<std::vector<IpNetwork>>& networks);
    void finish();  // builds the pieces from what was added

    // Rules with the condition that some network of theirs contains `a`, ascending.
    std::span<const std::uint32_t> covering(const IpAddr& a) const noexcept;
    // Rules without the condition, ascending.
    const std::vector<std::uint32_t>& unconditioned() const noexcept { return unconditioned_; }
    // False when the index cannot narrow the candidates: no rule has the condition, or
    // the pieces would list more than kMaxEntries rules (many broad, overlapping
    // networks), an index too large to keep.
    bool narrows() const noexcept { return narrows_; }

    static constexpr std::size_t kMaxEntries = std::size_t{1} << 22U;

private:
    // Pieces of one family: piece k spans [starts[k], starts[k + 1]).
    template <typename T>
    struct Pieces {
        std::vector<T> starts;  // ascending, starting at 0 once anything was added
        std::vector<std::uint32_t> offsets;  // piece k's rules: rules[offsets[k], offsets[k + 1])
        std::vector<std::uint32_t> rules;
        std::vector<std::pair<std::uint32_t, std::pair<T, T>>> pending;  // rule, [first, last]

        // false (and empty) when the lists would exceed kMaxEntries
        bool build();
        std::span<const std::uint32_t> find(const T& v) const noexcept;
    };

    Pieces<std::uint32_t> v4_;
    Pieces<U128> v6_;
    std::vector<std::uint32_t> unconditioned_;
    bool narrows_ = false;
};

}  // namespace tarvo::policy
