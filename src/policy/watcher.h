#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "policy/engine.h"
#include "util/expected.h"
#include "util/net.h"
#include "util/unique_fd.h"

namespace tarvo::policy {

inline constexpr auto kDebounce = std::chrono::milliseconds(500);

class ReloadSignal;

// Watches the rules file's directory with inotify on a thread of its own and reloads
// the rules, 500 ms after the last change, from a task on `executor`. Destroying it
// stops the thread and ends the task.
class PolicyWatcher {
public:
    // Errors: "rules.yaml path has no parent directory", "Failed to create file-system
    // watcher", "Failed to register filesystem watch on {}".
    static Expected<std::unique_ptr<PolicyWatcher>, std::string> start(
        std::filesystem::path rules_path, PolicyEnginePtr engine, net::any_io_executor executor,
        std::chrono::milliseconds debounce = kDebounce);
    ~PolicyWatcher();
    PolicyWatcher(const PolicyWatcher&) = delete;
    PolicyWatcher& operator=(const PolicyWatcher&) = delete;

private:
    PolicyWatcher(UniqueFd inotify, UniqueFd stop, std::shared_ptr<ReloadSignal> signal)
        : inotify_(std::move(inotify)), stop_(std::move(stop)), signal_(std::move(signal)) {}
    void run(std::filesystem::path rules_path);

    UniqueFd inotify_;
    UniqueFd stop_;  // an eventfd: readable once the thread must end
    std::shared_ptr<ReloadSignal> signal_;
    std::thread thread_;
};

}  // namespace tarvo::policy
