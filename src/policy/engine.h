#pragma once

#include <memory>
#include <shared_mutex>
#include <vector>

#include "capture/packet_info.h"
#include "policy/rule.h"

namespace tarvo::policy {

// The operator's rules, first match wins. One instance, shared: the packet loop and
// the control plane read; rule reloads write.
class PolicyEngine {
public:
    PolicyEngine() = default;
    explicit PolicyEngine(std::vector<PolicyRule> rules);

    // The first matching rule, or null. The result keeps its rule list alive across a
    // reload and shares that list's reference count, so evaluation allocates nothing.
    std::shared_ptr<const PolicyRule> evaluate(const capture::PacketInfo& packet) const;

    // Readers see the whole old list or the whole new one, never a mix.
    void replace_rules(std::vector<PolicyRule> rules);

    std::shared_ptr<const std::vector<PolicyRule>> rules() const;

private:
    using RuleList = std::vector<PolicyRule>;
    mutable std::shared_mutex mutex_;
    std::shared_ptr<const RuleList> rules_ = std::make_shared<const RuleList>();  // guarded by mutex_
};

using PolicyEnginePtr = std::shared_ptr<PolicyEngine>;

}  // namespace tarvo::policy
