#pragma once

#include <optional>
#include <string>

namespace tarvo {

// The environment variables the daemon reads, read once at startup.
struct Environment {
    std::optional<std::string> term;
    std::optional<std::string> no_color;
    std::optional<std::string> log_filter;  // TARVO_LOG
    std::optional<std::string> hostname;

    // Plain banners and no theme prompt: TERM unset, not valid UTF-8 or "dumb".
    bool plain_terminal() const;
    // Colour in the diagnostic terminal lines unless NO_COLOR is set and non-empty.
    bool log_colour() const;
};

Environment read_environment();

}  // namespace tarvo
