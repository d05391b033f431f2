#include "e2e/daemon.h"

#include <sys/stat.h>
#include <unistd.h>

namespace tarvo::test {

DaemonLayout::DaemonLayout(const std::string& config_yaml, const std::string& rules_yaml) {
    ::chmod(dir_.path().c_str(), 0755);  // readable by an unprivileged user too
    std::filesystem::copy_file(TARVO_BINARY, binary());
    std::filesystem::create_directories(configs());
    if (!config_yaml.empty()) write_file(configs() / "tarvo.linux.yaml", config_yaml);
    write_file(configs() / "rules.yaml", rules_yaml);
}

std::unique_ptr<Process> DaemonLayout::start(const std::vector<std::string>& env,
                                             std::optional<uid_t> uid,
                                             std::filesystem::path executable,
                                             std::vector<std::string> prefix) const {
    std::vector<std::string> vars = {"TERM=dumb", "TARVO_LOG=debug", "NO_COLOR=1"};
    vars.insert(vars.end(), env.begin(), env.end());
    Process::Options o;
    o.argv = std::move(prefix);
    o.argv.push_back(executable.empty() ? binary().string() : executable.string());
    o.env = environment_with(vars);
    o.output_dir = dir_.path();
    o.working_dir = dir_.path();
    o.uid = uid;
    return std::make_unique<Process>(std::move(o));
}

std::string config_for(const std::string& interface) {
    std::string config = kLoopbackConfig;
    const std::string lo = "capture_interface: lo";
    config.replace(config.find(lo), lo.size(), "capture_interface: " + interface);
    return config;
}

bool is_root() { return ::geteuid() == 0; }

}  // namespace tarvo::test
