#include "policy/watcher.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "policy/reloader.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace tarvo::policy {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using namespace std::chrono_literals;
using test::count_of;

std::string rules_with(const std::string& id) {
    return "- {id: " + id + ", name: n, action: Alert, conditions: {}}\n";
}

class Watcher : public ::testing::Test {
protected:
    void SetUp() override {
        engine_ = std::make_shared<PolicyEngine>();
        runner_ = std::thread([this] { io_.run(); });
    }
    void TearDown() override {
        watcher_.reset();
        work_.reset();
        io_.stop();
        runner_.join();
    }
    void start() {
        auto w = PolicyWatcher::start(path_, engine_, io_.get_executor());
        ASSERT_TRUE(w.has_value()) << w.error();
        watcher_ = std::move(*w);
    }
    // Waits until the log holds `part` `times` times.
    bool wait_for(const std::string& part, std::size_t times = 1, std::chrono::milliseconds limit = 3s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            if (count_of(log_.text(), part) >= times) return true;
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }
    std::string first_rule() {
        const auto rules = engine_->rules();
        return rules->empty() ? "" : rules->front().id;
    }

    test::LogCapture log_;
    test::TempDir dir_;
    std::filesystem::path path_ = dir_ / "rules.yaml";
    PolicyEnginePtr engine_;
    net::io_context io_;
    net::executor_work_guard<net::io_context::executor_type> work_ = net::make_work_guard(io_);
    std::thread runner_;
    std::unique_ptr<PolicyWatcher> watcher_;
};

TEST_F(Watcher, BurstOfWritesGivesOneReload) {
    test::write_file(path_, rules_with("v0"));
    start();
    EXPECT_THAT(log_.text(), HasSubstr("Policy hot-reload watcher active"));
    for (int i = 1; i <= 5; ++i) {
        test::write_file(path_, rules_with("v" + std::to_string(i)));
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_TRUE(wait_for("Policy rules reloaded successfully"));
    std::this_thread::sleep_for(800ms);  // no second reload follows
    const std::string text = log_.text();
    EXPECT_EQ(count_of(text, "Detected change in rules.yaml — reloading policy rules"), 1U);
    EXPECT_EQ(count_of(text, "Reloading policies from " + path_.string()), 1U);
    EXPECT_GE(count_of(text, "Debounce reset — another write event received"), 1U);
    EXPECT_EQ(first_rule(), "v5");
}

TEST_F(Watcher, OtherFilesInTheDirectoryAreIgnored) {
    test::write_file(path_, rules_with("v0"));
    start();
    test::write_file(dir_ / "rules.yaml.bak", rules_with("x"));
    test::write_file(dir_ / "notes.txt", "hello");
    std::this_thread::sleep_for(900ms);
    EXPECT_THAT(log_.text(), Not(HasSubstr("Detected change")));
}

TEST_F(Watcher, DeleteKeepsTheRulesAndRecreateReloads) {
    test::write_file(path_, rules_with("v0"));
    ASSERT_TRUE(load_rules(path_, *engine_).has_value());
    start();
    std::filesystem::remove(path_);
    ASSERT_TRUE(wait_for("Policy reload failed — previous rule set remains active"));
    EXPECT_EQ(first_rule(), "v0");
    // An editor's save: write a temporary file and rename it into place.
    test::write_file(dir_ / ".rules.yaml.swp", rules_with("v1"));
    std::filesystem::rename(dir_ / ".rules.yaml.swp", path_);
    ASSERT_TRUE(wait_for("Policy rules reloaded successfully"));
    EXPECT_EQ(first_rule(), "v1");
}

TEST_F(Watcher, MissingFileAtStartWarnsAndALaterCreateReloads) {
    start();
    EXPECT_THAT(log_.text(), HasSubstr("rules.yaml does not exist yet — watcher registered but no "
                                       "events will fire until the file is created"));
    test::write_file(path_, rules_with("late"));
    ASSERT_TRUE(wait_for("Policy rules reloaded successfully"));
    EXPECT_EQ(first_rule(), "late");
}

TEST_F(Watcher, SetupErrors) {
    const std::pair<std::filesystem::path, const char*> cases[] = {
        {"", "rules.yaml path has no parent directory"},
        {"/", "rules.yaml path has no parent directory"},
        {dir_ / "missing-dir/rules.yaml",
         "Failed to register filesystem watch on "},
    };
    for (const auto& [path, text] : cases) {
        SCOPED_TRACE(path.string());
        auto w = PolicyWatcher::start(path, engine_, io_.get_executor());
        ASSERT_FALSE(w.has_value());
        EXPECT_THAT(w.error(), HasSubstr(text));
    }
}

}  // namespace
}  // namespace tarvo::policy
