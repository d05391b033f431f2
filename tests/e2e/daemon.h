#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/temp_dir.h"

namespace tarvo::test {

// The built daemon copied into a temporary layout: T/tarvo beside T/configs.
class DaemonLayout {
public:
    explicit DaemonLayout(const std::string& config_yaml, const std::string& rules_yaml = "[]\n");

    const std::filesystem::path& root() const { return dir_.path(); }
    std::filesystem::path binary() const { return dir_ / "tarvo"; }
    std::filesystem::path configs() const { return dir_ / "configs"; }

    // Starts the daemon (behind `prefix`, e.g. {"unshare", "-n"}) with TERM=dumb, TARVO_LOG=debug and NO_COLOR=1 on top of `env`.
    std::unique_ptr<Process> start(const std::vector<std::string>& env = {},
                                   std::optional<uid_t> uid = std::nullopt,
                                   std::filesystem::path executable = {},
                                   std::vector<std::string> prefix = {}) const;

private:
    TempDir dir_;
};

// Lines every test configuration starts with; capture on loopback needs no test bed.
inline constexpr const char* kLoopbackConfig =
    "mode: Block\n"
    "capture_interface: lo\n"
    "promiscuous: false\n"
    "buffer_size_mb: 4\n"
    "timeout_ms: 10\n"
    "snaplen: 65535\n"
    "dashboard: {enabled: false}\n";

// kLoopbackConfig capturing on `interface` instead.
std::string config_for(const std::string& interface);

bool is_root();

}  // namespace tarvo::test
