#include "logger/alert.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <chrono>
#include <ctime>
#include <thread>

#include "support/temp_dir.h"

namespace tarvo::logger {
namespace {

using ::testing::HasSubstr;
using namespace std::chrono_literals;

std::vector<std::string> copies_of(const std::filesystem::path& dir, const std::string& live) {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        if (name.size() > live.size() && name.starts_with(live + ".")) out.push_back(name);
    }
    std::sort(out.begin(), out.end());
    return out;
}

TEST(RotatingFile, RotatesBeforeTheFirstWriteWhenAlreadyFull) {
    test::TempDir dir;
    test::write_file(dir / "alerts.log", std::string(150, 'x'));
    auto f = RotatingFile::open(dir / "alerts.log", 100);
    ASSERT_TRUE(f.has_value()) << f.error();
    EXPECT_EQ(f->size(), 150U);
    EXPECT_TRUE(f->write("new line\n"));
    f->flush();
    EXPECT_EQ(test::read_file(dir / "alerts.log"), "new line\n");
    const auto copies = copies_of(dir.path(), "alerts.log");
    ASSERT_EQ(copies.size(), 1U);
    EXPECT_TRUE(std::regex_match(copies[0], std::regex(R"(alerts\.log\.\d{8}-\d{6})"))) << copies[0];
    EXPECT_EQ(test::read_file(dir / copies[0]), std::string(150, 'x'));
}

// Regression: two rotations within one second produced the same name and the second
// replaced the first copy.
TEST(RotatingFile, KeepsFiveNewestCopiesAndLosesNoneWithinASecond) {
    test::TempDir dir;
    test::write_file(dir / "alerts.log.20200101-000000", "other file's copy\n");
    auto f = RotatingFile::open(dir / "traffic.log", 5);  // every 5-byte line fills the file
    ASSERT_TRUE(f.has_value());
    EXPECT_TRUE(f->write("l00\n\n"));
    EXPECT_TRUE(f->write("l01\n\n"));  // one rotation
    EXPECT_TRUE(f->write("l02\n\n"));  // a second within the same second, almost surely
    f->flush();
    auto copies = copies_of(dir.path(), "traffic.log");
    ASSERT_EQ(copies.size(), 2U);
    EXPECT_EQ(test::read_file(dir / copies[0]), "l00\n\n");  // name order is age order
    EXPECT_EQ(test::read_file(dir / copies[1]), "l01\n\n");

    for (int i = 3; i < 8; ++i) EXPECT_TRUE(f->write("l0" + std::to_string(i) + "\n\n"));  // 7 rotations in all
    f->flush();
    copies = copies_of(dir.path(), "traffic.log");
    ASSERT_EQ(copies.size(), 5U);
    std::vector<std::string> contents;
    for (const auto& c : copies) contents.push_back(test::read_file(dir / c));
    EXPECT_EQ(contents, (std::vector<std::string>{"l02\n\n", "l03\n\n", "l04\n\n", "l05\n\n", "l06\n\n"}));
    EXPECT_EQ(test::read_file(dir / "traffic.log"), "l07\n\n");
    EXPECT_TRUE(std::filesystem::exists(dir / "alerts.log.20200101-000000"));
}

TEST(AlertLogger, WritesLinesInTheirFormats) {
    test::TempDir dir;
    {
        auto logger = AlertLogger::init(dir.path(), 64, 100);
        ASSERT_TRUE(logger.has_value()) << logger.error();
        (*logger)->log_block("2001:db8::1", "local", 0, 0, "DETECT", "SYN_SCAN:SYN scan (half-open) — nmap -sS");
        (*logger)->log_alert("192.0.2.1", "198.51.100.2", 5353, 53, "UDP", "proc=unknown");
        (*logger)->log_normal("192.0.2.1", "198.51.100.2", 1000, 443, "PROTO(47)", "curl");
    }  // destruction writes out the queue
    const std::string ts = R"(\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d{4}\] )";
    EXPECT_TRUE(std::regex_match(
        test::read_file(dir / "alerts.log"),
        std::regex(ts + "BLOCK src=2001:db8::1:0 dst=local:0 proto=DETECT rule=SYN_SCAN:SYN scan \\(half-open\\) — nmap -sS\n" +
                   ts + "ALERT src=192.0.2.1:5353 dst=198.51.100.2:53 proto=UDP rule=proc=unknown\n")))
        << test::read_file(dir / "alerts.log");
    EXPECT_TRUE(std::regex_match(test::read_file(dir / "traffic.log"),
                                 std::regex(ts + "NORMAL src=192.0.2.1:1000 dst=198.51.100.2:443 proto=PROTO\\(47\\) proc=curl\n")))
        << test::read_file(dir / "traffic.log");
    EXPECT_EQ(test::read_file(dir / "errors.log"), "");
    EXPECT_FALSE(std::filesystem::exists(dir / ".tarvo_write_test"));
}

TEST(AlertLogger, DropReportsComeInStepsOfAThousand) {
    const std::tuple<std::uint64_t, std::uint64_t, bool> cases[] = {
        {999, 0, false}, {1000, 0, true}, {1999, 1000, false}, {2000, 1000, true}, {0, 0, false},
    };
    for (const auto& [total, last, due] : cases) {
        SCOPED_TRACE(total);
        EXPECT_EQ(AlertLogger::drop_report_due(total, last), due);
    }
}

TEST(AlertLogger, FullQueueDropsAndReportsWhenIdle) {
    test::TempDir dir;
    auto logger = AlertLogger::init(dir.path(), 0, 100);  // depth 0: only a waiting writer takes a line
    ASSERT_TRUE(logger.has_value());
    auto& l = **logger;
    std::this_thread::sleep_for(50ms);  // the writer is idle and waiting now
    l.queue_line(AlertLogger::FileKind::Alerts, "taken\n");
    for (int i = 0; i < 20'000; ++i) l.queue_line(AlertLogger::FileKind::Alerts, "maybe\n");
    std::this_thread::sleep_for(100ms);  // an idle tick writes the report
    const std::uint64_t drops = l.drops();
    ASSERT_GE(drops, 1000U);
    const std::string total = std::to_string(drops);
    const std::string errors = test::read_file(dir / "errors.log");
    EXPECT_TRUE(std::regex_match(
        errors, std::regex(R"(\[.+\] ERROR type=log_drop dropped=)" + total + " total_drops=" + total + "\n")))
        << errors;
    EXPECT_THAT(test::read_file(dir / "alerts.log"), HasSubstr("taken\n"));
}

TEST(AlertLogger, InitFailsOnAnUnusableDirectory) {
    test::TempDir dir;
    test::write_file(dir / "file", "x");
    EXPECT_FALSE(AlertLogger::init(dir / "file", 16, 100).has_value());
    EXPECT_FALSE(AlertLogger::init("/proc/self", 16, 100).has_value());
}

TEST(Rings, CapacityAndCuts) {
    Ring<int> ring(3);
    for (int i = 1; i <= 5; ++i) ring.push(i);
    EXPECT_EQ(ring.snapshot(), (std::vector<int>{3, 4, 5}));
    EXPECT_EQ(Ring<int>(0).capacity(), 1U);

    const std::string process(40, 'p');
    const std::string detail(100, 'd');
    const auto block = LogEntry::make("12:00:00.000", LogLevel::Block, "a", "b", 1, 2, "TCP", process, detail);
    EXPECT_EQ(block.process, std::string(32, 'p'));
    EXPECT_EQ(block.detail, std::string(64, 'd'));
    const auto normal = LogEntry::make("12:00:00.000", LogLevel::Normal, "a", "b", 1, 2, "TCP", process, detail);
    EXPECT_EQ(normal.detail, detail);
    // Characters, not bytes: a multi-byte character is never split.
    EXPECT_EQ(cut_chars("ab—cd", 3), "ab—");
    EXPECT_EQ(cut_chars("ab", 3), "ab");
}

TEST(ClockCache, HoldsTheLocalTimeOfDay) {
    ClockCache clock;
    const std::string text(clock.text().view());
    EXPECT_TRUE(std::regex_match(text, std::regex(R"(\d\d:\d\d:\d\d\.\d{3})"))) << text;
}

// The texts are formatted once per second and reused: they must still follow the clock
// from one second to the next.
TEST(ClockText, FollowsTheLocalTimeAcrossSeconds) {
    const auto seconds_now = [] {
        return std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    };
    const auto strftime_text = [](std::time_t t, const char* format) {
        std::tm tm{};
        localtime_r(&t, &tm);
        char buf[64];
        return std::string(buf, std::strftime(buf, sizeof buf, format, &tm));
    };
    int checked = 0;
    for (int attempt = 0; attempt < 10 && checked < 2; ++attempt) {
        const std::time_t before = seconds_now();
        const std::string clock(local_clock_text().view());
        const std::string line = local_line_timestamp();
        if (seconds_now() != before) continue;  // a second boundary fell in between
        EXPECT_EQ(clock.substr(0, 9), strftime_text(before, "%H:%M:%S") + ".");
        EXPECT_EQ(line.substr(0, 20), strftime_text(before, "%Y-%m-%dT%H:%M:%S") + ".");
        EXPECT_EQ(line.substr(23), strftime_text(before, "%z"));
        ++checked;
        std::this_thread::sleep_for(std::chrono::milliseconds(1010));
    }
    EXPECT_EQ(checked, 2);
}

}  // namespace
}  // namespace tarvo::logger
