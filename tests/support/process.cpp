#include "support/process.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

#include "support/temp_dir.h"

extern char** environ;

namespace tarvo::test {

Process::Process(Options options) : options_(std::move(options)) {
    std::vector<char*> argv;
    for (auto& a : options_.argv) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : options_.env) envp.push_back(e.data());
    envp.push_back(nullptr);
    const auto out = options_.output_dir / "stdout.txt";
    const auto err = options_.output_dir / "stderr.txt";

    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        const int o = ::open(out.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0666);
        const int e = ::open(err.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0666);
        ::dup2(o, 1);
        ::dup2(e, 2);
        const int devnull = ::open("/dev/null", O_RDONLY);
        ::dup2(devnull, 0);
        if (!options_.working_dir.empty() && ::chdir(options_.working_dir.c_str()) != 0) _exit(126);
        if (options_.uid) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(*options_.uid) != 0 ||
                ::setuid(*options_.uid) != 0) {
                _exit(125);
            }
        }
        ::execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
}

Process::~Process() {
    if (!reaped_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

std::string Process::out() const { return read_file(options_.output_dir / "stdout.txt"); }
std::string Process::err() const { return read_file(options_.output_dir / "stderr.txt"); }

bool Process::wait_for_output(const std::string& text, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (out().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return out().find(text) != std::string::npos;
}

void Process::send(int signal) const { ::kill(pid_, signal); }

std::optional<int> Process::wait_exit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            if (WIFEXITED(status)) return WEXITSTATUS(status);
            return -WTERMSIG(status);
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::vector<std::string> environment_with(const std::vector<std::string>& overrides) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto& o : overrides) {
            if (o.substr(0, o.find('=')) == name) replaced = true;
        }
        if (!replaced) env.push_back(entry);
    }
    for (const auto& o : overrides) {
        if (o.find('=') != std::string::npos) env.push_back(o);  // a bare NAME unsets it
    }
    return env;
}

}  // namespace tarvo::test
