#include "support/testbed.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "support/temp_dir.h"

namespace tarvo::test {
namespace {

std::string run_capture(const std::string& cmd) {
    std::string out;
    if (FILE* p = ::popen(cmd.c_str(), "r")) {
        char buf[512];
        while (std::fgets(buf, sizeof buf, p) != nullptr) out += buf;
        ::pclose(p);
    }
    return out;
}

}  // namespace

Testbed::Testbed(std::string name) : name_(std::move(name)) {
    const std::string tool = TARVO_TESTBED;
    std::system((tool + " -n " + name_ + " down >/dev/null 2>&1").c_str());  // a leftover bed
    // `up` prints the default bed's variables, so ask for this bed's separately.
    if (std::system((tool + " -n " + name_ + " up >/dev/null 2>&1").c_str()) != 0) return;
    const std::string info = run_capture(tool + " -n " + name_ + " info");
    std::istringstream in(info);
    for (std::string line; std::getline(in, line);) {
        const auto eq = line.find('=');
        if (eq != std::string::npos && line.starts_with("TESTBED_")) {
            vars_[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    ok_ = vars_.count("TESTBED_HOST_IF") == 1 && vars_.count("TESTBED_NS6") == 1;
}

Testbed::~Testbed() {
    std::system((std::string(TARVO_TESTBED) + " -n " + name_ + " down >/dev/null 2>&1").c_str());
}

int Testbed::exec(const std::string& shell_command) const {
    const std::string cmd = "ip netns exec " + name_ + " sh -c '" + shell_command + "'";
    return std::system(cmd.c_str());
}

int Testbed::python(const std::string& program) const {
    TempDir dir;
    write_file(dir / "prog.py", program);
    const std::string cmd = "ip netns exec " + name_ + " python3 " + (dir / "prog.py").string();
    return std::system(cmd.c_str());
}

}  // namespace tarvo::test
