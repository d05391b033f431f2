#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "capture/packet_info.h"

namespace tarvo::capture {

// Decodes an Ethernet II frame (up to two 802.1Q/802.1ad tags) carrying IPv4 or IPv6.
// Pure and allocation-free; nullopt for anything not decodable, never reading past
// the captured bytes.
std::optional<PacketInfo> decode(std::span<const std::uint8_t> frame) noexcept;

// The same, filling `out` in place (the hot path); false leaves `out` unspecified.
bool decode_into(std::span<const std::uint8_t> frame, PacketInfo& out) noexcept;

}  // namespace tarvo::capture
