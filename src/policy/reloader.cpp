#include "policy/reloader.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <charconv>
#include <optional>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "logger/logger.h"
#include "util/strings.h"
#include "util/unique_fd.h"
#include "util/yaml.h"

namespace tarvo::policy {
namespace {

constexpr std::string_view kTarget = "tarvo::policy::reloader";

// While set, parsing messages are collected here instead of logged: the isolated
// parse runs in a child process where the logger must not be touched.
thread_local std::vector<Diagnostic>* t_collect = nullptr;

void note(logger::Level level, std::string message) {
    if (t_collect != nullptr) {
        t_collect->push_back(Diagnostic{level, std::move(message)});
    } else if (logger::enabled(level, kTarget)) {
        logger::emit(level, kTarget, message, {}, logger::CallSite::current());
    }
}

void warn(std::string message) { note(logger::Level::Warn, std::move(message)); }
void debug(std::string message) { note(logger::Level::Debug, std::move(message)); }

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
            warn(fmt::format("Invalid {} '{}' in rule '{}': {}", which, item.Scalar(), id,
                             pattern.error()));
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
            warn(fmt::format("Port value {} out of u16 range in rule '{}'", item.Scalar(), id));
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
        debug(fmt::format("Parsed rule: {} ({})", rule->id, rule->name));
        rules.push_back(std::move(*rule));
    } else if (auto* error = std::get_if<std::string>(&parsed)) {
        warn(fmt::format(fmt::runtime(failure_template), index, *error));
    }
}

}  // namespace

ParsedRule parse_rule(const YAML::Node& m, std::size_t /*document_index*/) {
    if (!m.IsMap()) return std::string("rule is not a mapping");
    PolicyRule rule;
    if (auto err = required_string(m, "id", rule.id)) return *err;
    if (auto err = required_string(m, "name", rule.name)) return *err;
    if (yaml::is_false(m["enabled"])) {
        debug(fmt::format("Rule {} ({}) is disabled, skipping", rule.id, rule.name));
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
            warn(fmt::format("Skipping malformed YAML document [{}]: {}", index, nodes.error()));
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
                    warn(fmt::format("Unexpected YAML structure in document [{}] — expected "
                                     "sequence or mapping",
                                     index));
                }
            } catch (const YAML::Exception& ex) {
                warn(fmt::format("Skipping malformed YAML document [{}]: {}", index, ex.msg));
            }
            ++index;
        }
    }
    return rules;
}

ParseResult parse_rules_collect(std::string_view text) {
    ParseResult result;
    std::vector<Diagnostic>* const outer = std::exchange(t_collect, &result.diagnostics);
    result.rules = parse_rules(text);
    t_collect = outer;
    return result;
}

namespace {

nlohmann::json networks_json(const std::optional<std::vector<IpNetwork>>& nets) {
    if (!nets) return nullptr;
    nlohmann::json out = nlohmann::json::array();
    for (const auto& n : *nets) out.push_back(n.to_string());
    return out;
}

std::string encode(const ParseResult& r) {
    nlohmann::json rules = nlohmann::json::array();
    for (const auto& rule : r.rules) {
        rules.push_back({{"id", rule.id},
                         {"name", rule.name},
                         {"action", static_cast<int>(rule.action)},
                         {"src_ips", networks_json(rule.src_ips)},
                         {"dst_ips", networks_json(rule.dst_ips)},
                         {"src_ports", rule.src_ports ? nlohmann::json(*rule.src_ports) : nullptr},
                         {"dst_ports", rule.dst_ports ? nlohmann::json(*rule.dst_ports) : nullptr},
                         {"protocols", rule.protocols ? nlohmann::json(*rule.protocols) : nullptr}});
    }
    nlohmann::json diagnostics = nlohmann::json::array();
    for (const auto& d : r.diagnostics) diagnostics.push_back({static_cast<int>(d.level), d.message});
    return nlohmann::json{{"rules", rules}, {"diagnostics", diagnostics}}.dump(
        -1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<ParseResult> decode(const std::string& text) {
    const auto j = nlohmann::json::parse(text, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return std::nullopt;
    try {
        ParseResult r;
        for (const auto& d : j.at("diagnostics")) {
            r.diagnostics.push_back({static_cast<logger::Level>(d.at(0).get<int>()), d.at(1).get<std::string>()});
        }
        const auto nets = [](const nlohmann::json& v) -> std::optional<std::vector<IpNetwork>> {
            if (v.is_null()) return std::nullopt;
            std::vector<IpNetwork> out;
            for (const auto& n : v) out.push_back(IpNetwork::parse(n.get<std::string>()).value());
            return out;
        };
        const auto opt = [](const nlohmann::json& v, auto tag) -> std::optional<decltype(tag)> {
            if (v.is_null()) return std::nullopt;
            return v.get<decltype(tag)>();
        };
        for (const auto& x : j.at("rules")) {
            PolicyRule rule;
            rule.id = x.at("id").get<std::string>();
            rule.name = x.at("name").get<std::string>();
            rule.action = static_cast<RuleAction>(x.at("action").get<int>());
            rule.src_ips = nets(x.at("src_ips"));
            rule.dst_ips = nets(x.at("dst_ips"));
            rule.src_ports = opt(x.at("src_ports"), std::vector<std::uint16_t>{});
            rule.dst_ports = opt(x.at("dst_ports"), std::vector<std::uint16_t>{});
            rule.protocols = opt(x.at("protocols"), std::vector<std::string>{});
            rule.derive_protocol_mask();
            r.rules.push_back(std::move(rule));
        }
        return r;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

Expected<ParseResult, std::string> parse_rules_isolated(std::string_view text,
                                                        std::chrono::milliseconds limit) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return Unexpected(errno_text(errno));
    UniqueFd read_end(fds[0]);
    UniqueFd write_end(fds[1]);
    const pid_t child = ::fork();
    if (child < 0) return Unexpected(errno_text(errno));
    if (child == 0) {
        // Only this thread exists here: no logging, just parse, report and leave.
        read_end.reset();
        const std::string out = encode(parse_rules_collect(text));
        std::size_t done = 0;
        while (done < out.size()) {
            const ssize_t n = ::write(write_end.get(), out.data() + done, out.size() - done);
            if (n <= 0) ::_exit(1);
            done += static_cast<std::size_t>(n);
        }
        ::_exit(0);
    }
    write_end.reset();
    std::string reply;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    bool finished = false;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{read_end.get(), POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        char buf[65536];
        const ssize_t n = ::read(read_end.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            finished = true;
            break;
        }
        reply.append(buf, static_cast<std::size_t>(n));
    }
    if (!finished) ::kill(child, SIGKILL);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!finished) {
        return Unexpected(fmt::format("the YAML reader did not finish within {} ms", limit.count()));
    }
    auto result = WIFEXITED(status) && WEXITSTATUS(status) == 0 ? decode(reply) : std::nullopt;
    if (!result) return Unexpected(std::string("the YAML reader failed"));
    return std::move(*result);
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
    auto parsed = parse_rules_isolated(*text, kParseLimit);
    if (!parsed) return Unexpected(fmt::format("cannot parse {}: {}", path.string(), parsed.error()));
    for (auto& d : parsed->diagnostics) note(d.level, std::move(d.message));
    std::vector<PolicyRule> rules = std::move(parsed->rules);
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
