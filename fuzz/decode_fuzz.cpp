#include <cstddef>
#include <cstdint>
#include <span>

#include "capture/decode.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto p = tarvo::capture::decode(std::span(data, size));
    // A record never claims more bytes than were captured.
    if (p && p->length != size) __builtin_trap();
    return 0;
}
