#include "policy/reloader.h"

#include <charconv>
#include <optional>

#include <fmt/format.h>

#include "logger/logger.h"
#include "util/strings.h"
#include "util/yaml.h"

namespace tarvo::policy {
namespace {

constexpr std::string_view kTarget = "tarvo::policy::reloader";

// An address pattern, or the reason it is not one.
Expected<IpNetwork, std::string> parse_pattern(const std::string& text) {
    if (text.find('/') != std::string::npos) {
        const auto slash = text.find('/');
        if (!IpAddr::parse(std::string_view(text).substr(0, slash))) {
            return Unexpected(fmt::format("Invalid CIDR {}: invalid IP address syntax", text));
        }
        if (auto net = IpNetwork::parse(text)) return *net;
        return Unexpected(fmt::format("Invalid CIDR {}: invalid prefix length", text));
    }
    if (auto addr = IpAddr::parse(text)) return IpNetwork(*addr, addr->is_v4() ? 32 : 128);
    return Unexpected(fmt::format("Invalid IP {}: invalid IP address syntax", text));
}

std::optional<std::vector<IpNetwork>> read_addresses(const YAML::Node& list, std::string_view which,
                                                     const std::string& id) {
    if (!list.IsDefined() || !list.IsSequence()) return std::nullopt;
    std::vector<IpNetwork> out;
    for (const auto& item : list) {
        if (!yaml::is_string(item)) continue;
        auto pattern = parse_pattern(item.Scalar());
        if (!pattern) {
            logger::warn(kTarget, fmt::format("Invalid {} '{}' in rule '{}': {}", which,
                                              item.Scalar(), id, pattern.error()));
            continue;
        }
        out.push_back(*pattern);
    }
    if (out.empty()) return std::nullopt;
    return out;
}

std::optional<std::vector<std::uint16_t>> read_ports(const YAML::Node& list, const std::string& id) {
    if (!list.IsDefined() || !list.IsSequence()) return std::nullopt;
    std::vector<std::uint16_t> out;
    for (const auto& item : list) {
        if (!item.IsScalar() || yaml::scalar_type(item) != yaml::ScalarType::Int) continue;
        std::string_view digits = item.Scalar();
        if (digits.front() == '-') continue;  // negative: not a port, skipped silently
        if (digits.front() == '+') digits.remove_prefix(1);
        std::uint64_t value = 0;
        const auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (ec != std::errc{} || value > 65535) {
            logger::warn(kTarget, fmt::format("Port value {} out of u16 range in rule '{}'",
                                              item.Scalar(), id));
            continue;
        }
        out.push_back(static_cast<std::uint16_t>(value));
    }
    if (out.empty()) return std::nullopt;
    return out;
}

std::optional<std::vector<std::string>> read_protocols(const YAML::Node& list) {
    if (!list.IsDefined() || !list.IsSequence()) return std::nullopt;
    std::vector<std::string> out;
    for (const auto& item : list) {
        if (yaml::is_string(item)) out.push_back(to_lower(item.Scalar()));
    }
    if (out.empty()) return std::nullopt;
    return out;
}

std::optional<std::string> required_string(const YAML::Node& m, const char* key, std::string& out) {
    const YAML::Node v = m[key];
    if (!v.IsDefined()) return fmt::format("Missing required field: {}", key);
    if (!yaml::is_string(v)) return fmt::format("{} must be a string", key);
    out = v.Scalar();
    return std::nullopt;
}

// A document as yaml-cpp reads it, or its syntax error (with stream line numbers).
Expected<std::vector<YAML::Node>, std::string> load_document(const yaml::DocumentText& doc) {
    if (auto trap = yaml::reader_trap(doc.text, doc.first_line)) return Unexpected(std::move(*trap));
    try {
        auto nodes = YAML::LoadAll(doc.text);
        // An explicit "---" with nothing after it is an empty document of its own.
        if (nodes.empty() && doc.explicit_start) nodes.emplace_back();
        return nodes;
    } catch (const YAML::Exception& ex) {
        if (ex.mark.is_null()) return Unexpected(ex.msg);
        return Unexpected(fmt::format("{} at line {} column {}", ex.msg,
                                      doc.first_line + static_cast<std::size_t>(ex.mark.line) + 1,
                                      ex.mark.column + 1));
    }
}

void add_parsed(ParsedRule parsed, std::vector<PolicyRule>& rules, std::size_t index,
                std::string_view failure_template) {
    if (auto* rule = std::get_if<PolicyRule>(&parsed)) {
        logger::debug(kTarget, fmt::format("Parsed rule: {} ({})", rule->id, rule->name));
        rules.push_back(std::move(*rule));
    } else if (auto* error = std::get_if<std::string>(&parsed)) {
        logger::warn(kTarget, fmt::format(fmt::runtime(failure_template), index, *error));
    }
}

}  // namespace

ParsedRule parse_rule(const YAML::Node& m, std::size_t /*document_index*/) {
    if (!m.IsMap()) return std::string("rule is not a mapping");
    PolicyRule rule;
    if (auto err = required_string(m, "id", rule.id)) return *err;
    if (auto err = required_string(m, "name", rule.name)) return *err;
    if (yaml::is_false(m["enabled"])) {
        logger::debug(kTarget, fmt::format("Rule {} ({}) is disabled, skipping", rule.id, rule.name));
        return RuleDisabled{};
    }
    std::string action;
    if (auto err = required_string(m, "action", action)) return *err;
    if (action == "Allow") {
        rule.action = RuleAction::Allow;
    } else if (action == "Block") {
        rule.action = RuleAction::Block;
    } else if (action == "Alert") {
        rule.action = RuleAction::Alert;
    } else {
        return fmt::format("Unknown action '{}' in rule '{}'", action, rule.id);
    }
    const YAML::Node conditions = m["conditions"];
    if (!conditions.IsDefined()) return std::string("Missing required field: conditions");
    if (conditions.IsMap()) {  // any other value imposes no conditions
        rule.src_ips = read_addresses(conditions["src_ips"], "src_ip", rule.id);
        rule.dst_ips = read_addresses(conditions["dst_ips"], "dst_ip", rule.id);
        rule.src_ports = read_ports(conditions["src_ports"], rule.id);
        rule.dst_ports = read_ports(conditions["dst_ports"], rule.id);
        rule.protocols = read_protocols(conditions["protocols"]);
    }
    rule.enabled = true;
    rule.derive_protocol_mask();
    return rule;
}

std::vector<PolicyRule> parse_rules(std::string_view text) {
    std::vector<PolicyRule> rules;
    std::size_t index = 0;
    for (const auto& doc : yaml::split_documents(text)) {
        auto nodes = load_document(doc);
        if (!nodes) {
            logger::warn(kTarget,
                         fmt::format("Skipping malformed YAML document [{}]: {}", index, nodes.error()));
            ++index;
            continue;
        }
        for (const YAML::Node& node : *nodes) {
            try {
                if (node.IsSequence()) {
                    for (const auto& element : node) {
                        add_parsed(parse_rule(element, index), rules, index,
                                   "Skipping malformed rule in document [{}]: {}");
                    }
                } else if (node.IsMap()) {
                    add_parsed(parse_rule(node, index), rules, index,
                               "Skipping malformed rule document [{}]: {}");
                } else {
                    logger::warn(kTarget, fmt::format("Unexpected YAML structure in document [{}] — "
                                                      "expected sequence or mapping",
                                                      index));
                }
            } catch (const YAML::Exception& ex) {
                logger::warn(kTarget, fmt::format("Skipping malformed YAML document [{}]: {}", index, ex.msg));
            }
            ++index;
        }
    }
    return rules;
}

Expected<std::size_t, std::string> load_rules(const std::filesystem::path& path,
                                              PolicyEngine& engine) {
    const auto text = read_whole_file(path);
    if (!text) {
        return Unexpected(fmt::format("cannot read {}: {}", path.string(), errno_text(text.error())));
    }
    if (!is_valid_utf8(*text)) {
        return Unexpected(fmt::format("cannot read {}: stream did not contain valid UTF-8", path.string()));
    }
    std::vector<PolicyRule> rules = parse_rules(*text);
    logger::info(kTarget, fmt::format("Loaded {} rules from {}", rules.size(), path.string()));
    std::erase_if(rules, [](const PolicyRule& r) { return !r.enabled; });
    const std::size_t count = rules.size();
    engine.replace_rules(std::move(rules));
    return count;
}

std::vector<std::string> read_preblock_list(const std::filesystem::path& path) {
    const auto text = read_whole_file(path);
    if (!text) return {};
    std::vector<std::string> out;
    if (yaml::reader_trap(*text)) return {};
    try {
        const auto docs = YAML::LoadAll(*text);
        if (docs.size() != 1 || !docs.front().IsSequence()) return {};
        for (const auto& rule : docs.front()) {
            if (!rule.IsMap()) continue;
            if (yaml::is_false(rule["enabled"])) continue;
            const YAML::Node action = rule["action"];
            if (!yaml::is_string(action) || action.Scalar() != "Block") continue;
            const YAML::Node conditions = rule["conditions"];
            if (!conditions.IsDefined() || !conditions.IsMap()) continue;
            const YAML::Node dst = conditions["dst_ips"];
            if (!dst.IsDefined() || !dst.IsSequence()) continue;
            for (const auto& entry : dst) {
                if (!yaml::is_string(entry)) continue;
                const std::string& s = entry.Scalar();
                if (s.find('/') != std::string::npos || s == "255.255.255.255" || s == "0.0.0.0") continue;
                out.push_back(s);
            }
        }
    } catch (const YAML::Exception&) {
        return {};
    }
    return out;
}

}  // namespace tarvo::policy
