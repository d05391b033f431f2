#include "util/ip.h"

#include <arpa/inet.h>

#include <charconv>

namespace tarvo {

std::optional<IpAddr> IpAddr::parse(std::string_view text) {
    if (text.empty() || text.size() > 45) return std::nullopt;
    char buf[64];
    std::memcpy(buf, text.data(), text.size());
    buf[text.size()] = '\0';
    std::uint8_t bytes[16];
    if (::inet_pton(AF_INET, buf, bytes) == 1) return v4_bytes(bytes);
    if (::inet_pton(AF_INET6, buf, bytes) == 1) return v6_bytes(bytes);
    return std::nullopt;
}

std::size_t IpAddr::format_to(char* out) const noexcept {
    if (::inet_ntop(is_v4() ? AF_INET : AF_INET6, bytes_.data(), out, 46) == nullptr) {
        out[0] = '?';
        return 1;
    }
    return std::strlen(out);
}

std::string IpAddr::to_string() const {
    char buf[64];
    return {buf, format_to(buf)};
}

IpNetwork::IpNetwork(IpAddr base, std::uint8_t prefix) : prefix_(prefix) {
    std::array<std::uint8_t, 16> mask{};
    for (std::size_t i = 0; i < base.byte_size(); ++i) {
        const std::size_t first_bit = i * 8;
        if (first_bit + 8 <= prefix) {
            mask[i] = 0xFF;
        } else if (first_bit < prefix) {
            mask[i] = static_cast<std::uint8_t>(0xFFU << (8 - (prefix - first_bit)));
        }
    }
    std::array<std::uint8_t, 16> b = base.bytes();
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(b[i] & mask[i]);
    base_ = base.is_v4() ? IpAddr::v4_bytes(b.data()) : IpAddr::v6_bytes(b.data());
    std::memcpy(mask_, mask.data(), sizeof mask_);
    std::memcpy(masked_, b.data(), sizeof masked_);
}

std::optional<IpNetwork> IpNetwork::parse(std::string_view text) {
    const std::size_t slash = text.find('/');
    const auto addr = IpAddr::parse(text.substr(0, slash));
    if (!addr) return std::nullopt;
    const unsigned max = addr->is_v4() ? 32 : 128;
    unsigned prefix = max;
    if (slash != std::string_view::npos) {
        const std::string_view p = text.substr(slash + 1);
        const auto [ptr, ec] = std::from_chars(p.data(), p.data() + p.size(), prefix);
        if (p.empty() || ec != std::errc{} || ptr != p.data() + p.size() || prefix > max) {
            return std::nullopt;
        }
    }
    return IpNetwork(*addr, static_cast<std::uint8_t>(prefix));
}

std::string IpNetwork::to_string() const { return fmt::format("{}/{}", base_, prefix_); }

}  // namespace tarvo
