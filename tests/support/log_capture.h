#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "logger/logger.h"
#include "support/temp_dir.h"

namespace tarvo::test {

// Installs the diagnostic log for one test, its terminal lines going to a file that
// the test reads back.
class LogCapture {
public:
    explicit LogCapture(const char* filter = "debug") {
        terminal_ = std::fopen((dir_ / "terminal.txt").c_str(), "w+");
        logger::Options o;
        o.log_dir = dir_ / "logs";
        o.filter_env = filter;
        o.colour = false;
        o.terminal = terminal_;
        guard_.emplace(std::move(logger::setup(o).value()));
    }
    ~LogCapture() {
        guard_.reset();
        std::fclose(terminal_);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Everything logged so far.
    std::string text() const {
        std::fflush(terminal_);
        return read_file(dir_ / "terminal.txt");
    }
    // What was logged since the previous call.
    std::string take() {
        std::string all = text();
        std::string fresh = all.substr(std::min(seen_, all.size()));
        seen_ = all.size();
        return fresh;
    }

private:
    TempDir dir_;
    std::FILE* terminal_ = nullptr;
    std::optional<logger::Guard> guard_;
    std::size_t seen_ = 0;
};

}  // namespace tarvo::test
