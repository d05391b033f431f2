#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <yaml-cpp/yaml.h>

#include "logger/logger.h"
#include "policy/engine.h"
#include "policy/rule.h"
#include "util/expected.h"

namespace tarvo::policy {

struct RuleDisabled {};

// A rule, a disabled rule, or the reason the mapping is not a rule. Bad list elements
// are dropped with their warnings; they never fail the rule.
using ParsedRule = std::variant<PolicyRule, RuleDisabled, std::string>;

ParsedRule parse_rule(const YAML::Node& mapping, std::size_t document_index);

// Every enabled rule of a rules stream, in file order. Bad documents and rules are
// reported and skipped, each one alone; nothing here fails.
std::vector<PolicyRule> parse_rules(std::string_view text);

struct Diagnostic {
    logger::Level level;
    std::string message;
};

struct ParseResult {
    std::vector<PolicyRule> rules;
    std::vector<Diagnostic> diagnostics;  // what parse_rules would have logged, in order
};

// parse_rules, with its messages collected instead of logged.
ParseResult parse_rules_collect(std::string_view text);

inline constexpr std::chrono::milliseconds kParseLimit{5000};

// parse_rules_collect in a child process, killed after `limit`: yaml-cpp 0.7 has inputs
// on which it never returns and allocates without bound, and a rules file being edited
// must not take the daemon down with it. Errors: the reader did not finish in time, or
// failed.
Expected<ParseResult, std::string> parse_rules_isolated(std::string_view text,
                                                        std::chrono::milliseconds limit);

// Reads `path`, parses it (isolated) and replaces the engine's rules. An unreadable
// file, or one the reader cannot finish, is an error (its text is returned) and leaves
// the engine's rules as they were.
Expected<std::size_t, std::string> load_rules(const std::filesystem::path& path,
                                              PolicyEngine& engine);

// The addresses to block at startup: dst_ips entries of enabled Block rules, read from
// a rules file whose whole content is one sequence. Networks and the addresses
// 0.0.0.0 and 255.255.255.255 are left out; any problem gives an empty list.
std::vector<std::string> read_preblock_list(const std::filesystem::path& path);

}  // namespace tarvo::policy
