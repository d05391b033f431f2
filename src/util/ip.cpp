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
    std::array<std::uint8_t, 16> b = base.bytes();
    for (std::size_t i = 0; i < base.byte_size(); ++i) {
        const std::size_t first_bit = i * 8;
        if (first_bit >= prefix) {
            b[i] = 0;
        } else if (first_bit + 8 > prefix) {
            b[i] = static_cast<std::uint8_t>(b[i] & (0xFFU << (8 - (prefix - first_bit))));
        }
    }
    base_ = base.is_v4() ? IpAddr::v4_bytes(b.data()) : IpAddr::v6_bytes(b.data());
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

bool IpNetwork::contains(const IpAddr& a) const noexcept {
    if (a.family() != base_.family()) return false;
    const auto& x = a.bytes();
    const auto& n = base_.bytes();
    std::size_t full = prefix_ / 8U;
    if (std::memcmp(x.data(), n.data(), full) != 0) return false;
    const unsigned rest = prefix_ % 8U;
    if (rest == 0) return true;
    const auto mask = static_cast<std::uint8_t>(0xFFU << (8 - rest));
    return (x[full] & mask) == n[full];
}

std::string IpNetwork::to_string() const { return fmt::format("{}/{}", base_, prefix_); }

}  // namespace tarvo
