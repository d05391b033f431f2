#include "policy/address_index.h"

#include <algorithm>

namespace tarvo::policy {
void AddressIndex::add(std::uint32_t rule, const std::optional<std::vector<IpNetwork>>& networks) {
    if (!networks) {
        unconditioned_.push_back(rule);
        return;
    }
    narrows_ = true;  // an empty list too: such a rule matches nothing
    for (const IpNetwork& net : *networks) {
        if (net.address().is_v4()) {
            v4_.pending.push_back({rule, v4_bounds(net)});
        } else {
            v6_.pending.push_back({rule, v6_bounds(net)});
        }
    }
}

void AddressIndex::finish() {
    const bool v4 = v4_.build();
    const bool v6 = v6_.build();
    narrows_ = narrows_ && v4 && v6;
}

template <typename T>
bool AddressIndex::Pieces<T>::build() {
    starts.clear();
    offsets.clear();
    rules.clear();
    if (pending.empty()) return true;
    starts.push_back(T{});
    for (const auto& [rule, range] : pending) {
        starts.push_back(range.first);
        T next{};
        if (next_address(range.second, next)) starts.push_back(next);
    }
    std::sort(starts.begin(), starts.end());
    starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
    // Counted before anything is listed: broad networks over many pieces multiply.
    std::size_t entries = 0;
    for (const auto& [rule, range] : pending) {
        entries += static_cast<std::size_t>(
            std::upper_bound(starts.begin(), starts.end(), range.second) -
            std::lower_bound(starts.begin(), starts.end(), range.first));
    }
    if (entries > kMaxEntries) {
        starts.clear();
        pending.clear();
        pending.shrink_to_fit();
        return false;
    }
    // Each piece's rules, in rule order (pending is in rule order already); a rule
    // whose networks overlap is listed once.
    std::vector<std::vector<std::uint32_t>> lists(starts.size());
    for (const auto& [rule, range] : pending) {
        const auto first = std::lower_bound(starts.begin(), starts.end(), range.first) - starts.begin();
        const auto end = std::upper_bound(starts.begin(), starts.end(), range.second) - starts.begin();
        for (auto k = static_cast<std::size_t>(first); k < static_cast<std::size_t>(end); ++k) {
            if (lists[k].empty() || lists[k].back() != rule) lists[k].push_back(rule);
        }
    }
    offsets.reserve(lists.size() + 1);
    for (const auto& list : lists) {
        offsets.push_back(static_cast<std::uint32_t>(rules.size()));
        rules.insert(rules.end(), list.begin(), list.end());
    }
    offsets.push_back(static_cast<std::uint32_t>(rules.size()));
    pending.clear();
    pending.shrink_to_fit();
    return true;
}

template <typename T>
std::span<const std::uint32_t> AddressIndex::Pieces<T>::find(const T& v) const noexcept {
    if (starts.empty()) return {};
    const auto k = static_cast<std::size_t>(std::upper_bound(starts.begin(), starts.end(), v) -
                                            starts.begin()) - 1;  // starts[0] is 0: k >= 0
    return {rules.data() + offsets[k], rules.data() + offsets[k + 1]};
}

std::span<const std::uint32_t> AddressIndex::covering(const IpAddr& a) const noexcept {
    return a.is_v4() ? v4_.find(a.v4_value()) : v6_.find(to_u128(a));
}

}  // namespace tarvo::policy
