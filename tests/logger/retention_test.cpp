#include "logger/retention.h"

#include <sys/time.h>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace tarvo::logger {
namespace {

void age(const std::filesystem::path& p, std::chrono::system_clock::time_point when) {
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch());
    const timeval tv[2] = {{secs.count(), 0}, {secs.count(), 0}};
    ASSERT_EQ(::utimes(p.c_str(), tv), 0);
}

TEST(RetentionPass, RemovesOldLogFilesOnly) {
    test::TempDir dir;
    const auto now = std::chrono::system_clock::now();
    const auto old = now - std::chrono::hours(24 * 31);
    const auto recent = now - std::chrono::hours(24 * 29);
    struct File {
        const char* name;
        std::chrono::system_clock::time_point mtime;
        std::size_t size;
        bool removed;
    };
    const File files[] = {
        {"errors.log", old, 1'500'000, true},
        {"alerts.log.20240101-000000", old, 1'000'000, true},
        {"tarvo.log.2024-01-01", old, 10, true},
        {"notes.txt", old, 10, false},
        {".log", old, 10, false},  // a dot file has no extension
        {"traffic.log", recent, 10, false},
    };
    for (const auto& f : files) {
        test::write_file(dir / f.name, std::string(f.size, 'x'));
        age(dir / f.name, f.mtime);
    }
    std::filesystem::create_directory(dir / "old.log");  // a directory is never deleted
    age(dir / "old.log", old);

    const auto result = retention_pass(dir.path(), now);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->files, 3U);
    EXPECT_EQ(result->freed_bytes, 2'500'010U);
    for (const auto& f : files) {
        SCOPED_TRACE(f.name);
        EXPECT_EQ(std::filesystem::exists(dir / f.name), !f.removed);
    }
    EXPECT_TRUE(std::filesystem::exists(dir / "old.log"));
}

TEST(RetentionPass, EmptyAndMissingDirectories) {
    test::TempDir dir;
    const auto result = retention_pass(dir.path(), std::chrono::system_clock::now());
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->files, 0U);
    EXPECT_EQ(result->freed_bytes, 0U);
    EXPECT_FALSE(retention_pass(dir / "missing", std::chrono::system_clock::now()).has_value());
}

}  // namespace
}  // namespace tarvo::logger
