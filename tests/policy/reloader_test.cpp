#include "policy/reloader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace tarvo::policy {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

struct Case {
    const char* name;
    std::string yaml;
    std::vector<std::string> ids;       // rules loaded, in order
    std::vector<std::string> warnings;  // texts that must be logged
};

TEST(ParseRules, LoadsWhatItCanAndNamesTheRest) {
    test::LogCapture log;
    const Case cases[] = {
        {"second document with action Deny",
         "- {id: r1, name: one, action: Block, conditions: {}}\n"
         "- {id: r2, name: two, action: Allow, conditions: {}}\n"
         "---\n"
         "{id: r3, name: three, action: Deny, conditions: {}}\n",
         {"r1", "r2"},
         {"Skipping malformed rule document [1]: Unknown action 'Deny' in rule 'r3'"}},
        {"lower-case block",
         "- {id: r1, name: one, action: block, conditions: {}}\n",
         {},
         {"Skipping malformed rule in document [0]: Unknown action 'block' in rule 'r1'"}},
        {"the string false keeps a rule enabled; the boolean false disables it",
         "- {id: on, name: a, enabled: \"false\", action: Alert, conditions: {}}\n"
         "- {id: off, name: b, enabled: false, action: Alert, conditions: {}}\n",
         {"on"},
         {"Rule off (b) is disabled, skipping"}},
        {"missing and mistyped fields, in order",
         "- {name: a, action: Alert, conditions: {}}\n"
         "- {id: 7, name: a, action: Alert, conditions: {}}\n"
         "- {id: x, action: Alert, conditions: {}}\n"
         "- {id: x, name: a, conditions: {}}\n"
         "- {id: x, name: a, action: Alert}\n"
         "- just a scalar\n",
         {},
         {"[0]: Missing required field: id", "[0]: id must be a string",
          "[0]: Missing required field: name", "[0]: Missing required field: action",
          "[0]: Missing required field: conditions"}},
        {"scalar document between good ones",
         "- {id: a, name: a, action: Alert, conditions: {}}\n---\nhello\n---\n"
         "- {id: b, name: b, action: Alert, conditions: {}}\n",
         {"a", "b"},
         {"Unexpected YAML structure in document [1] — expected sequence or mapping"}},
        {"syntax error in the middle document costs only that document",
         "- {id: a, name: a, action: Alert, conditions: {}}\n---\n- {id: [unclosed\n---\n"
         "- {id: c, name: c, action: Alert, conditions: {}}\n",
         {"a", "c"},
         {"Skipping malformed YAML document [1]: "}},
        {"empty file", "", {}, {}},
        {"comments only", "# nothing yet\n", {}, {}},
        {"conditions of another type impose nothing",
         "- {id: a, name: a, action: Alert, conditions: everything}\n", {"a"}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto rules = parse_rules(c.yaml);
        std::vector<std::string> ids;
        for (const auto& r : rules) ids.push_back(r.id);
        EXPECT_EQ(ids, c.ids);
        const std::string logged = log.take();
        for (const auto& w : c.warnings) EXPECT_THAT(logged, HasSubstr(w));
        if (c.warnings.empty()) {
            EXPECT_THAT(logged, Not(HasSubstr("WARN")));
        }
    }
}

TEST(ParseRules, ConditionElements) {
    test::LogCapture log;
    const auto rules = parse_rules(
        "- id: r\n"
        "  name: n\n"
        "  action: Block\n"
        "  conditions:\n"
        "    src_ips: [10.0.0.0/33]\n"
        "    dst_ips: [198.51.100.7, \"2001:db8::/32\", nonsense, 5]\n"
        "    dst_ports: [443, 70000, \"8080\", -1, 1.5, 0]\n"
        "    src_ports: \"1000-2000\"\n"
        "    protocols: [TCP, udp, 6]\n");
    ASSERT_EQ(rules.size(), 1U);
    const PolicyRule& r = rules[0];
    EXPECT_FALSE(r.src_ips.has_value());  // its only entry was bad: any source matches
    ASSERT_TRUE(r.dst_ips.has_value());
    EXPECT_EQ(r.dst_ips->size(), 2U);
    EXPECT_EQ(r.dst_ports, (std::vector<std::uint16_t>{443, 0}));
    EXPECT_FALSE(r.src_ports.has_value());
    EXPECT_EQ(r.protocols, (std::vector<std::string>{"tcp", "udp"}));
    const std::string logged = log.text();
    EXPECT_THAT(logged, HasSubstr("Invalid src_ip '10.0.0.0/33' in rule 'r': Invalid CIDR 10.0.0.0/33: "));
    EXPECT_THAT(logged, HasSubstr("Invalid dst_ip 'nonsense' in rule 'r': Invalid IP nonsense: "));
    EXPECT_THAT(logged, HasSubstr("Port value 70000 out of u16 range in rule 'r'"));
    EXPECT_EQ(logged.find("out of u16 range"), logged.rfind("out of u16 range"));  // only 70000
    EXPECT_THAT(logged, Not(HasSubstr("'5'")));  // non-strings are skipped silently
}

TEST(LoadRules, ReplacesTheRulesOrKeepsThemWhenUnreadable) {
    test::LogCapture log;
    test::TempDir dir;
    PolicyEngine engine;
    const auto path = dir / "rules.yaml";
    test::write_file(path, "- {id: a, name: a, action: Alert, conditions: {}}\n");
    ASSERT_EQ(load_rules(path, engine).value(), 1U);
    EXPECT_THAT(log.text(), HasSubstr("Loaded 1 rules from " + path.string()));
    EXPECT_THAT(log.text(), HasSubstr("Loaded 1 policy rules"));

    std::filesystem::remove(path);
    const auto missing = load_rules(path, engine);
    ASSERT_FALSE(missing.has_value());
    EXPECT_THAT(missing.error(), HasSubstr("No such file"));
    EXPECT_EQ(engine.rules()->size(), 1U);

    test::write_file(path, "{broken: [\n");  // all malformed: zero rules replace the old ones
    EXPECT_EQ(load_rules(path, engine).value(), 0U);
    EXPECT_TRUE(engine.rules()->empty());
}

TEST(PreblockList, BlockRuleAddressesOnly) {
    test::TempDir dir;
    const auto path = dir / "rules.yaml";
    struct Row {
        const char* name;
        std::string yaml;
        std::vector<std::string> want;
    };
    const Row rows[] = {
        {"two Block rules",
         "- {id: a, name: a, action: Block, conditions: {dst_ips: [203.0.113.5, 10.0.0.0/8]}}\n"
         "- {id: b, name: b, action: Block, conditions: {dst_ips: [0.0.0.0, 255.255.255.255, evil, 7]}}\n"
         "- {id: c, name: c, action: Alert, conditions: {dst_ips: [192.0.2.1]}}\n"
         "- {id: d, name: d, enabled: false, action: Block, conditions: {dst_ips: [192.0.2.2]}}\n",
         {"203.0.113.5", "evil"}},
        {"two documents give nothing",
         "- {id: a, name: a, action: Block, conditions: {dst_ips: [203.0.113.5]}}\n---\n- {}\n", {}},
        {"a mapping at the top gives nothing",
         "{id: a, name: a, action: Block, conditions: {dst_ips: [203.0.113.5]}}\n", {}},
        {"a syntax error gives nothing", "- {id: [\n", {}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        test::write_file(path, r.yaml);
        EXPECT_EQ(read_preblock_list(path), r.want);
    }
    EXPECT_TRUE(read_preblock_list(dir / "absent.yaml").empty());
}

}  // namespace
}  // namespace tarvo::policy

namespace tarvo::policy {
namespace {

// Regression: yaml-cpp 0.7 never returns from a document whose node starts with ','
// and allocates until the process dies; such a document is now refused before it
// reaches the reader, and the documents around it still load.
TEST(ParseRules, CommaThatWouldHangTheReaderSkipsOnlyItsDocument) {
    test::LogCapture log;
    const char* traps[] = {",", ", a", "  ,", "!c ,", "&a ,", "\"a\"\n,", "# note\n, x", "!tag,x",
                           "a: text with [ bracket\n!t, b", "\x01 ,a",
                           "- te--\";\n\n,", "\"a\" ,", "'a',b", "lock\n\" runs.\n# c\n,,",
                           "m{{{x\n\"ona\",r"};
    for (const char* trap : traps) {
        SCOPED_TRACE(trap);
        const auto rules = parse_rules(std::string("- {id: a, name: a, action: Alert, conditions: {}}\n---\n") +
                                       trap + "\n---\n- {id: b, name: b, action: Alert, conditions: {}}\n");
        ASSERT_EQ(rules.size(), 2U);
        EXPECT_THAT(log.take(), HasSubstr("Skipping malformed YAML document [1]: "));
    }
    // Commas elsewhere stay allowed.
    const auto ok = parse_rules(
        "- id: a\n  name: \"it's, fine\"\n  action: Alert\n  conditions:\n"
        "    protocols: [tcp,\n      udp]\n    dst_ports: [1, 2]\n");
    ASSERT_EQ(ok.size(), 1U);
    EXPECT_EQ(ok[0].name, "it's, fine");
    EXPECT_EQ(ok[0].protocols, (std::vector<std::string>{"tcp", "udp"}));
}

}  // namespace
}  // namespace tarvo::policy

namespace tarvo::policy {
namespace {

TEST(ParseRulesIsolated, ReturnsRulesAndMessagesFromTheChild) {
    const auto r = parse_rules_isolated(
        "- {id: a, name: A, action: Block, conditions: {src_ips: [10.0.0.0/8, 2001:db8::1], "
        "dst_ports: [22, 70000], protocols: [TCP]}}\n"
        "- {id: b, name: B, action: Alert, conditions: {}}\n---\n7\n",
        kParseLimit);
    ASSERT_TRUE(r.has_value()) << r.error();
    ASSERT_EQ(r->rules.size(), 2U);
    const PolicyRule& a = r->rules[0];
    EXPECT_EQ(a.action, RuleAction::Block);
    ASSERT_TRUE(a.src_ips.has_value());
    EXPECT_EQ(a.src_ips->at(1).to_string(), "2001:db8::1/128");
    EXPECT_EQ(a.dst_ports, (std::vector<std::uint16_t>{22}));
    EXPECT_FALSE(a.dst_ips.has_value());
    capture::PacketInfo p;
    p.src_ip = *IpAddr::parse("10.1.2.3");
    p.dst_ip = *IpAddr::parse("192.0.2.1");
    p.dst_port = 22;
    p.protocol = capture::Protocol::tcp();
    EXPECT_TRUE(a.matches(p));  // the protocol mask survived the trip
    std::vector<std::string> messages;
    for (const auto& d : r->diagnostics) messages.push_back(d.message);
    EXPECT_THAT(messages, ::testing::Contains(HasSubstr("Port value 70000 out of u16 range")));
    EXPECT_THAT(messages, ::testing::Contains(HasSubstr("Unexpected YAML structure in document [1]")));
}

// Regression: yaml-cpp 0.7 loops forever, allocating, on some malformed files (this is
// one); a reload of such a file used to take the daemon down. The parse is now killed
// after its time limit and the previous rules stay.
TEST(ParseRulesIsolated, AReaderThatNeverReturnsIsStopped) {
    const std::string hangs = "\"\"J\n?\n";
    const auto r = parse_rules_isolated(hangs, std::chrono::milliseconds(300));
    ASSERT_FALSE(r.has_value());
    EXPECT_THAT(r.error(), HasSubstr("did not finish within 300 ms"));

    test::TempDir dir;
    PolicyEngine engine(parse_rules("- {id: keep, name: k, action: Alert, conditions: {}}\n"));
    test::write_file(dir / "rules.yaml", hangs);
    const auto loaded = load_rules(dir / "rules.yaml", engine);
    ASSERT_FALSE(loaded.has_value());
    EXPECT_THAT(loaded.error(), HasSubstr("cannot parse"));
    EXPECT_EQ(engine.rules()->front().id, "keep");
}

}  // namespace
}  // namespace tarvo::policy

namespace tarvo::policy {
namespace {

// The shipped sample must load without a single warning.
TEST(SampleRules, LoadCleanly) {
    test::LogCapture log;
    PolicyEngine engine;
    const auto loaded = load_rules(std::filesystem::path(TARVO_REPO_DIR) / "configs/rules.yaml", engine);
    ASSERT_TRUE(loaded.has_value()) << loaded.error();
    EXPECT_EQ(*loaded, 1U);  // the second rule is disabled
    EXPECT_THAT(log.text(), Not(HasSubstr("WARN")));
}

}  // namespace
}  // namespace tarvo::policy
