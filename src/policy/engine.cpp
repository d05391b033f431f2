#include "policy/engine.h"

#include <mutex>

#include <fmt/format.h>

#include "logger/logger.h"

namespace tarvo::policy {
namespace {
constexpr std::string_view kTarget = "tarvo::policy::engine";
}  // namespace

PolicyEngine::RuleSet::RuleSet(std::vector<PolicyRule> list) : rules(std::move(list)) {
    for (const auto& rule : rules) {
        if (rule.src_ips) {
            for (const auto& net : *rule.src_ips) src_reach.add(net);
        }
        if (rule.dst_ips) {
            for (const auto& net : *rule.dst_ips) dst_reach.add(net);
        }
    }
    src_reach.finish();
    dst_reach.finish();
    for (unsigned reach = 0; reach < by_reach.size(); ++reach) {
        Candidates& c = by_reach[reach];
        for (std::uint32_t i = 0; i < rules.size(); ++i) {
            const PolicyRule& rule = rules[i];
            if ((rule.src_ips && (reach & 1U) == 0) || (rule.dst_ips && (reach & 2U) == 0)) continue;
            if (!rule.dst_ports) {
                c.any_dst_port.push_back(i);
                continue;
            }
            for (const std::uint16_t port : *rule.dst_ports) {
                auto& ids = c.by_dst_port[port];
                if (ids.empty() || ids.back() != i) ids.push_back(i);  // a port listed twice
            }
        }
    }
}

PolicyEngine::PolicyEngine(std::vector<PolicyRule> rules)
    : rules_(std::make_shared<const RuleSet>(std::move(rules))) {}

std::shared_ptr<const std::vector<PolicyRule>> PolicyEngine::rules() const {
    std::shared_lock lock(mutex_);
    return {rules_, &rules_->rules};
}

std::shared_ptr<const PolicyEngine::RuleSet> PolicyEngine::snapshot() const {
    std::shared_lock lock(mutex_);
    return rules_;
}

const PolicyRule* PolicyEngine::first_match(const RuleSet& set, const capture::PacketInfo& packet) {
    if (set.rules.empty()) return nullptr;
    // Walk the two ascending candidate lists together: rule order is kept, so the
    // first match is the same as in a plain walk over every rule.
    static const std::vector<std::uint32_t> kNone;
    const unsigned reach = (set.src_reach.contains(packet.src_ip) ? 1U : 0U) |
                           (set.dst_reach.contains(packet.dst_ip) ? 2U : 0U);
    const RuleSet::Candidates& c = set.by_reach[reach];
    const auto it = c.by_dst_port.find(packet.dst_port);
    const std::vector<std::uint32_t>& named = it == c.by_dst_port.end() ? kNone : it->second;
    const std::vector<std::uint32_t>& any = c.any_dst_port;
    std::size_t a = 0;
    std::size_t b = 0;
    while (a < named.size() || b < any.size()) {
        std::uint32_t index = 0;
        if (b == any.size() || (a < named.size() && named[a] < any[b])) {
            index = named[a++];
        } else {
            index = any[b++];
        }
        const PolicyRule& rule = set.rules[index];
        if (!rule.matches(packet)) continue;
        if (logger::enabled(logger::Level::Debug, kTarget)) {
            logger::debug(kTarget, fmt::format("Packet matched rule: {} ({}) -> {}", rule.id,
                                               rule.name, describe(rule.action)));
        }
        return &rule;
    }
    return nullptr;
}

std::shared_ptr<const PolicyRule> PolicyEngine::evaluate(const capture::PacketInfo& packet) const {
    std::shared_lock lock(mutex_);
    const PolicyRule* rule = first_match(*rules_, packet);
    if (rule == nullptr) return nullptr;
    return {rules_, rule};  // aliasing: no allocation
}

void PolicyEngine::replace_rules(std::vector<PolicyRule> rules) {
    // Built (index included) before the lock is taken: readers wait only for the swap.
    auto fresh = std::make_shared<const RuleSet>(std::move(rules));
    const std::size_t count = fresh->rules.size();
    std::shared_ptr<const RuleSet> old;
    {
        std::unique_lock lock(mutex_);
        old = std::exchange(rules_, std::move(fresh));
        version_.fetch_add(1, std::memory_order_release);
        logger::info(kTarget, fmt::format("Loaded {} policy rules", count));
    }
    // `old` is freed here, outside the lock.
}

}  // namespace tarvo::policy
