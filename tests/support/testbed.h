#pragma once

#include <map>
#include <string>

namespace tarvo::test {

// A namespace joined to the host by a veth pair (tests/tools/testbed), torn down at
// scope end. Traffic goes only between the two ends.
class Testbed {
public:
    explicit Testbed(std::string name);
    ~Testbed();
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

    bool ok() const { return ok_; }
    const std::string& host_if() const { return vars_.at("TESTBED_HOST_IF"); }
    const std::string& ns_if() const { return vars_.at("TESTBED_NS_IF"); }
    const std::string& host4() const { return vars_.at("TESTBED_HOST4"); }
    const std::string& ns4() const { return vars_.at("TESTBED_NS4"); }
    const std::string& host6() const { return vars_.at("TESTBED_HOST6"); }
    const std::string& ns6() const { return vars_.at("TESTBED_NS6"); }

    // Runs a shell command inside the namespace; returns its exit status.
    int exec(const std::string& shell_command) const;
    // Runs a Python 3 program inside the namespace.
    int python(const std::string& program) const;

private:
    std::string name_;
    std::map<std::string, std::string> vars_;
    bool ok_ = false;
};

}  // namespace tarvo::test
