#include "environment.h"

#include <cstdlib>

#include "util/strings.h"

namespace tarvo {
namespace {

std::optional<std::string> get(const char* name) {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): read once at startup, before other threads run
    const char* v = std::getenv(name);
    if (v == nullptr) return std::nullopt;
    return std::string(v);
}

}  // namespace

bool Environment::plain_terminal() const {
    return !term || !is_valid_utf8(*term) || *term == "dumb";
}

bool Environment::log_colour() const { return !no_color || no_color->empty(); }

Environment read_environment() {
    return Environment{get("TERM"), get("NO_COLOR"), get("TARVO_LOG"), get("HOSTNAME")};
}

}  // namespace tarvo
