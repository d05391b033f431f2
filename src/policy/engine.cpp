#include "policy/engine.h"

#include <mutex>

#include <fmt/format.h>

#include "logger/logger.h"

namespace tarvo::policy {
namespace {
constexpr std::string_view kTarget = "tarvo::policy::engine";
}  // namespace

PolicyEngine::PolicyEngine(std::vector<PolicyRule> rules)
    : rules_(std::make_shared<const RuleList>(std::move(rules))) {}

std::shared_ptr<const std::vector<PolicyRule>> PolicyEngine::rules() const {
    std::shared_lock lock(mutex_);
    return rules_;
}

std::shared_ptr<const PolicyRule> PolicyEngine::evaluate(const capture::PacketInfo& packet) const {
    std::shared_lock lock(mutex_);
    for (const PolicyRule& rule : *rules_) {
        if (!rule.matches(packet)) continue;
        if (logger::enabled(logger::Level::Debug, kTarget)) {
            logger::debug(kTarget, fmt::format("Packet matched rule: {} ({}) -> {}", rule.id,
                                               rule.name, describe(rule.action)));
        }
        return {rules_, &rule};  // aliasing: no allocation
    }
    return nullptr;
}

void PolicyEngine::replace_rules(std::vector<PolicyRule> rules) {
    auto fresh = std::make_shared<const RuleList>(std::move(rules));
    const std::size_t count = fresh->size();
    std::shared_ptr<const RuleList> old;
    {
        std::unique_lock lock(mutex_);
        old = std::exchange(rules_, std::move(fresh));
        logger::info(kTarget, fmt::format("Loaded {} policy rules", count));
    }
    // `old` is freed here, outside the lock.
}

}  // namespace tarvo::policy
