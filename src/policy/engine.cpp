#include "policy/engine.h"

#include <mutex>

#include <fmt/format.h>

#include "logger/logger.h"

namespace tarvo::policy {
namespace {
constexpr std::string_view kTarget = "tarvo::policy::engine";
}  // namespace

PolicyEngine::RuleSet::RuleSet(std::vector<PolicyRule> list) : rules(std::move(list)) {
    for (std::uint32_t i = 0; i < rules.size(); ++i) {
        const PolicyRule& rule = rules[i];
        by_src_ip.add(i, rule.src_ips);
        by_dst_ip.add(i, rule.dst_ips);
        if (!rule.dst_ports) {
            any_dst_port.push_back(i);
            continue;
        }
        for (const std::uint16_t port : *rule.dst_ports) {
            auto& ids = by_dst_port[port];
            if (ids.empty() || ids.back() != i) ids.push_back(i);  // a port listed twice
        }
    }
    by_src_ip.finish();
    by_dst_ip.finish();
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
    // The port index first: most packets concern no rule's port, and then no address
    // needs looking up.
    const auto it = set.by_dst_port.find(packet.dst_port);
    std::span<const std::uint32_t> named;
    if (it != set.by_dst_port.end()) named = it->second;
    std::span<const std::uint32_t> any = set.any_dst_port;
    if (named.empty() && any.empty()) return nullptr;
    // Then the shorter pair of an address index, where one narrows things down.
    const auto narrow = [&](const AddressIndex& index, const IpAddr& address) {
        if (!index.narrows()) return;
        const auto covering = index.covering(address);
        const auto& rest = index.unconditioned();
        if (covering.size() + rest.size() < named.size() + any.size()) {
            named = covering;
            any = rest;
        }
    };
    narrow(set.by_src_ip, packet.src_ip);
    narrow(set.by_dst_ip, packet.dst_ip);
    // Walk the two ascending candidate lists together: rule order is kept, so the
    // first match is the same as in a plain walk over every rule.
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
