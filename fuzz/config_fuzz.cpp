#include <cstddef>
#include <cstdint>
#include <string_view>

#include "config/loader.h"

// Any configuration text gives a record or an error text, never a crash.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto parsed = tarvo::config::parse_config(
        std::string_view(reinterpret_cast<const char*>(data), size));
    if (!parsed && parsed.error().empty()) __builtin_trap();
    return 0;
}
