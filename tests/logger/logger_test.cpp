#include "logger/logger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/temp_dir.h"

namespace tarvo::logger {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

Event sample_event() {
    Event e;
    e.level = Level::Warn;
    e.target = "tarvo::config::loader";
    e.message = "Config \"x\" odd";
    e.fields = {{"path", "/etc/a b"}, {"count", 42}, {"ratio", 0.5}, {"on", true},
                {"neg", -3}};
    e.file = "src/config/loader.cpp";
    e.line = 17;
    // 2025-03-01T13:03:07.123456Z
    e.time = Clock::time_point(std::chrono::microseconds(1740834187123456LL));
    e.thread_number = 7;
    return e;
}

TEST(FormatJsonLine, KeysInOrderAndTyped) {
    const std::string line = format_json_line(sample_event());
    EXPECT_EQ(line,
              R"x({"timestamp":"2025-03-01T13:03:07.123456Z","level":"WARN","fields":{"message":)x"
              R"x("Config \"x\" odd","path":"/etc/a b","count":42,"ratio":0.5,"on":true,"neg":-3},)x"
              R"x("target":"tarvo::config::loader","filename":"src/config/loader.cpp",)x"
              R"x("line_number":17,"threadId":"ThreadId(7)"})x");
    EXPECT_EQ(line.find('\n'), std::string::npos);
    EXPECT_EQ(line.find('\x1b'), std::string::npos);
}

TEST(FormatJsonLine, InvalidUtf8DoesNotLoseTheLine) {
    Event e = sample_event();
    e.message = "bad \xff byte";
    const auto parsed = nlohmann::json::parse(format_json_line(e), nullptr, false);
    ASSERT_FALSE(parsed.is_discarded());
    EXPECT_THAT(parsed["fields"]["message"].get<std::string>(), HasSubstr("bad"));
}

TEST(FormatTerminal, ThreeLinesPlainAndColoured) {
    const Event e = sample_event();
    EXPECT_EQ(format_terminal(e, false),
              "  2025-03-01T13:03:07.123456Z  WARN  Config \"x\" odd, path: \"/etc/a b\", "
              "count: 42, ratio: 0.5, on: true, neg: -3\n"
              "    at src/config/loader.cpp:17\n\n");
    const std::string coloured = format_terminal(e, true);
    EXPECT_THAT(coloured, HasSubstr("\x1b["));
    EXPECT_THAT(coloured, HasSubstr(" WARN"));
    EXPECT_THAT(coloured, HasSubstr("    at src/config/loader.cpp:17\n\n"));

    Event info = e;
    info.level = Level::Info;
    info.fields.clear();
    EXPECT_EQ(format_terminal(info, false),
              "  2025-03-01T13:03:07.123456Z  INFO  Config \"x\" odd\n"
              "    at src/config/loader.cpp:17\n\n");
}

TEST(Filter, DirectivesDecidePerTarget) {
    struct Case {
        const char* name;
        std::optional<std::string> env;
        Level level;
        const char* target;
        bool enabled;
    };
    const Case cases[] = {
        {"unset: info passes", std::nullopt, Level::Info, "tarvo", true},
        {"unset: debug blocked", std::nullopt, Level::Debug, "tarvo::logger", false},
        {"debug everywhere", "debug", Level::Debug, "tarvo::logger", true},
        {"upper case level", "DEBUG", Level::Debug, "tarvo", true},
        {"trace blocked at debug", "debug", Level::Trace, "tarvo", false},
        {"target directive", "info,tarvo::policy=debug", Level::Debug, "tarvo::policy::engine", true},
        {"target directive keeps others", "info,tarvo::policy=debug", Level::Debug, "tarvo::capture", false},
        {"prefix needs module boundary", "info,tarvo::pol=debug", Level::Debug, "tarvo::policy", false},
        {"most specific wins", "tarvo=debug,tarvo::logger=warn", Level::Info, "tarvo::logger", false},
        {"less specific applies below", "tarvo=debug,tarvo::logger=warn", Level::Debug, "tarvo::capture", true},
        {"off silences", "off", Level::Error, "tarvo", false},
        {"unparsable means info", "info,=debug", Level::Info, "tarvo", true},
        {"unparsable hides debug", "tarvo=loud", Level::Debug, "tarvo", false},
        {"empty means info", "", Level::Info, "tarvo", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Filter::from_env_value(c.env).enabled(c.level, c.target), c.enabled);
    }
}

TEST(FileWriter, WritesDailyFilesAndDropsWhenFull) {
    test::TempDir dir;
    {
        FileWriter w(dir.path(), 1'000);
        EXPECT_TRUE(w.push("2025-03-01", "a"));
        EXPECT_TRUE(w.push("2025-03-02", "b"));
        EXPECT_TRUE(w.push("2025-03-02", "c"));
    }  // destruction writes out everything queued
    EXPECT_EQ(test::read_file(dir / "tarvo.log.2025-03-01"), "a\n");
    EXPECT_EQ(test::read_file(dir / "tarvo.log.2025-03-02"), "b\nc\n");

    // A queue of 0 lines accepts nothing and never blocks the caller.
    FileWriter full(dir.path(), 0);
    EXPECT_FALSE(full.push("2025-03-03", "x"));
    EXPECT_EQ(full.dropped(), 1U);
}

TEST(Setup, ReportsDirectoryProblems) {
    test::TempDir dir;
    test::write_file(dir / "file", "x");
    Options o;
    o.log_dir = dir / "file" / "logs";  // a parent that is a regular file
    auto g = setup(o);
    ASSERT_FALSE(g.has_value());
    EXPECT_THAT(g.error(), HasSubstr((dir / "file" / "logs").string()));

    // /proc/self exists but nobody, root included, can create a file in it.
    o.log_dir = "/proc/self";
    g = setup(o);
    ASSERT_FALSE(g.has_value());
    EXPECT_THAT(g.error(), HasSubstr("Cannot write to log directory /proc/self: "));
    EXPECT_THAT(g.error(), HasSubstr(". Check directory permissions."));
}

TEST(Setup, EventsReachBothSinksUntilTheGuardIsReleased) {
    test::TempDir dir;
    const auto term_path = dir / "terminal.txt";
    std::FILE* term = std::fopen(term_path.c_str(), "w");
    ASSERT_NE(term, nullptr);
    Options o;
    o.log_dir = dir / "logs";
    o.colour = false;
    o.terminal = term;
    o.filter_env = "info";
    {
        auto g = setup(o);
        ASSERT_TRUE(g.has_value()) << g.error();
        info("tarvo", "hello", {{"n", 1}});
        debug("tarvo", "hidden");
        warn("tarvo::x", "careful");
    }
    info("tarvo", "after release");
    std::fclose(term);

    const std::string terminal = test::read_file(term_path);
    EXPECT_THAT(terminal, HasSubstr("Logger initialised (dual: file + console), log_dir: \""));
    EXPECT_THAT(terminal, HasSubstr("retention_days: 30"));
    EXPECT_THAT(terminal, HasSubstr(" INFO  hello, n: 1\n    at tests/logger/logger_test.cpp:"));
    EXPECT_THAT(terminal, HasSubstr(" WARN  careful"));
    EXPECT_THAT(terminal, Not(HasSubstr("hidden")));
    EXPECT_THAT(terminal, Not(HasSubstr("after release")));
    EXPECT_FALSE(std::filesystem::exists(o.log_dir / ".tarvo_write_test"));

    std::string file_text;
    for (const auto& entry : std::filesystem::directory_iterator(o.log_dir)) {
        EXPECT_THAT(entry.path().filename().string(), HasSubstr("tarvo.log."));
        file_text += test::read_file(entry.path());
    }
    EXPECT_THAT(file_text, HasSubstr(R"("fields":{"message":"hello","n":1})"));
    EXPECT_THAT(file_text, HasSubstr(R"("target":"tarvo::x")"));
    EXPECT_THAT(file_text, Not(HasSubstr("hidden")));
    EXPECT_THAT(file_text, Not(HasSubstr("\x1b")));
}

}  // namespace
}  // namespace tarvo::logger
