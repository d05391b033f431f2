#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tarvo::test {

// A child process whose standard output and error go to files, for end-to-end tests.
class Process {
public:
    struct Options {
        std::vector<std::string> argv;
        std::vector<std::string> env;            // the whole environment, "NAME=value"
        std::filesystem::path output_dir;        // stdout.txt and stderr.txt go here
        std::filesystem::path working_dir;       // empty: inherit
        std::optional<uid_t> uid;                // drop to this user before exec
    };

    explicit Process(Options options);
    ~Process();  // kills the child if it is still running
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    std::string out() const;
    std::string err() const;

    // Waits until standard output contains `text`.
    bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout) const;
    void send(int signal) const;
    // Exit status, or nullopt if the child did not exit in time (or died by a signal: -signo).
    std::optional<int> wait_exit(std::chrono::milliseconds timeout);

private:
    Options options_;
    pid_t pid_ = -1;
    bool reaped_ = false;
};

// The running environment with some variables replaced ("NAME=value") or unset ("NAME").
std::vector<std::string> environment_with(const std::vector<std::string>& overrides);

}  // namespace tarvo::test
