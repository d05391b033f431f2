#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

#include "capture/packet_info.h"
#include "policy/rule.h"
#include "policy/address_index.h"

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

    // The rules in order, with three indexes that each give, for a packet, two
    // ascending lists of rule numbers holding every rule that can match it: by
    // destination port (rules naming the port, rules naming none), by source address
    // and by destination address (rules with a network containing it, rules without
    // the condition). Evaluation walks the shortest pair, so rules about other
    // services or other hosts cost almost nothing.
    struct RuleSet {
        explicit RuleSet(std::vector<PolicyRule> list);
        std::vector<PolicyRule> rules;
        std::unordered_map<std::uint16_t, std::vector<std::uint32_t>> by_dst_port;
        std::vector<std::uint32_t> any_dst_port;
        AddressIndex by_src_ip;
        AddressIndex by_dst_ip;
    };

private:
    std::atomic<std::uint64_t> version_{0};  // bumped after every replacement
    mutable std::shared_mutex mutex_;
    std::shared_ptr<const RuleSet> rules_ = std::make_shared<const RuleSet>(std::vector<PolicyRule>{});  // guarded by mutex_
};

using PolicyEnginePtr = std::shared_ptr<PolicyEngine>;

}  // namespace tarvo::policy
