#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

#include "capture/packet_info.h"
#include "policy/rule.h"
#include "util/ip_ranges.h"

namespace tarvo::policy {

// The operator's rules, first match wins. One instance, shared: the packet loop and
// the control plane read; rule reloads write.
class PolicyEngine {
public:
    PolicyEngine() = default;
    explicit PolicyEngine(std::vector<PolicyRule> rules);

    struct RuleSet;

    // The first matching rule, or null. The result keeps its rule list alive across a
    // reload and shares that list's reference count, so evaluation allocates nothing.
    std::shared_ptr<const PolicyRule> evaluate(const capture::PacketInfo& packet) const;

    // For a reader that evaluates every packet (the packet loop): it keeps the current
    // rule set and takes the lock again only when version() has moved on.
    std::uint64_t version() const noexcept { return version_.load(std::memory_order_acquire); }
    std::shared_ptr<const RuleSet> snapshot() const;
    // The first rule of `set` matching the packet, or null; logs the match.
    static const PolicyRule* first_match(const RuleSet& set, const capture::PacketInfo& packet);

    // Readers see the whole old list or the whole new one, never a mix.
    void replace_rules(std::vector<PolicyRule> rules);

    std::shared_ptr<const std::vector<PolicyRule>> rules() const;

    // The rules in order, with candidate lists in rule order that leave out rules a
    // packet cannot meet: by destination port (the rules naming the packet's port,
    // merged with the rules naming none), and by reach, whether the packet's source and
    // destination lie in any network that some rule names (bit 0: source, bit 1:
    // destination). A rule whose address condition cannot hold is not in the lists, so
    // rules about other services and other hosts cost almost nothing.
    struct RuleSet {
        explicit RuleSet(std::vector<PolicyRule> list);
        struct Candidates {
            std::unordered_map<std::uint16_t, std::vector<std::uint32_t>> by_dst_port;
            std::vector<std::uint32_t> any_dst_port;
        };
        std::vector<PolicyRule> rules;
        IpRanges src_reach;  // every network of every src_ips
        IpRanges dst_reach;
        std::array<Candidates, 4> by_reach;
    };

private:
    std::atomic<std::uint64_t> version_{0};  // bumped after every replacement
    mutable std::shared_mutex mutex_;
    std::shared_ptr<const RuleSet> rules_ = std::make_shared<const RuleSet>(std::vector<PolicyRule>{});  // guarded by mutex_
};

using PolicyEnginePtr = std::shared_ptr<PolicyEngine>;

}  // namespace tarvo::policy
