#include <cstddef>
#include <cstdint>
#include <string_view>

#include "policy/reloader.h"

// Any rules file content: bad documents and rules are skipped, nothing may crash.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto rules = tarvo::policy::parse_rules(
        std::string_view(reinterpret_cast<const char*>(data), size));
    for (const auto& r : rules) {
        if (!r.enabled) __builtin_trap();
    }
    return 0;
}
