#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <fmt/format.h>

namespace tarvo {

// An IPv4 or IPv6 address with its family. Trivially copyable; IPv4 addresses sort
// before IPv6 ones. An IPv4 address never equals its IPv4-mapped IPv6 form.
class IpAddr {
public:
    enum class Family : std::uint8_t { V4 = 4, V6 = 6 };

    constexpr IpAddr() = default;
    static IpAddr v4(std::uint32_t host_order) noexcept {
        IpAddr a;
        a.family_ = Family::V4;
        a.bytes_[0] = static_cast<std::uint8_t>(host_order >> 24U);
        a.bytes_[1] = static_cast<std::uint8_t>(host_order >> 16U);
        a.bytes_[2] = static_cast<std::uint8_t>(host_order >> 8U);
        a.bytes_[3] = static_cast<std::uint8_t>(host_order);
        return a;
    }
    // From network-order bytes: 4 for IPv4, 16 for IPv6.
    static IpAddr v4_bytes(const std::uint8_t* b) noexcept {
        IpAddr a;
        a.family_ = Family::V4;
        std::memcpy(a.bytes_.data(), b, 4);
        return a;
    }
    static IpAddr v6_bytes(const std::uint8_t* b) noexcept {
        IpAddr a;
        a.family_ = Family::V6;
        std::memcpy(a.bytes_.data(), b, 16);
        return a;
    }
    // The usual text forms; nullopt for anything else (no CIDR suffix, no scope).
    static std::optional<IpAddr> parse(std::string_view text);

    Family family() const noexcept { return family_; }
    bool is_v4() const noexcept { return family_ == Family::V4; }
    bool is_v6() const noexcept { return family_ == Family::V6; }
    // IPv4 value in host order (0 for IPv6).
    std::uint32_t v4_value() const noexcept {
        if (!is_v4()) return 0;
        return (std::uint32_t{bytes_[0]} << 24U) | (std::uint32_t{bytes_[1]} << 16U) |
               (std::uint32_t{bytes_[2]} << 8U) | std::uint32_t{bytes_[3]};
    }
    const std::array<std::uint8_t, 16>& bytes() const noexcept { return bytes_; }
    std::size_t byte_size() const noexcept { return is_v4() ? 4 : 16; }

    // Writes the text form into `out` (at least 46 bytes); returns its length.
    std::size_t format_to(char* out) const noexcept;
    std::string to_string() const;

    // Whole-array compares: the defaulted forms go byte by byte, and these sit on the
    // per-packet path (source map lookups, local address search).
    std::strong_ordering operator<=>(const IpAddr& o) const noexcept {
        if (family_ != o.family_) return family_ <=> o.family_;
        const int c = std::memcmp(bytes_.data(), o.bytes_.data(), bytes_.size());
        return c < 0 ? std::strong_ordering::less
                     : c > 0 ? std::strong_ordering::greater : std::strong_ordering::equal;
    }
    bool operator==(const IpAddr& o) const noexcept {
        return family_ == o.family_ && std::memcmp(bytes_.data(), o.bytes_.data(), bytes_.size()) == 0;
    }

private:
    Family family_ = Family::V4;
    std::array<std::uint8_t, 16> bytes_{};
};

// A CIDR network, e.g. 10.0.0.0/8 or fc00::/7.
class IpNetwork {
public:
    IpNetwork() = default;
    IpNetwork(IpAddr base, std::uint8_t prefix);  // host bits of `base` are cleared
    // "a.b.c.d/n", "x::/n", or a single address (a full-length prefix).
    static std::optional<IpNetwork> parse(std::string_view text);

    // Two masked 64-bit compares: rule sets test many networks per packet.
    bool contains(const IpAddr& a) const noexcept {
        if (a.family() != base_.family()) return false;
        std::uint64_t w[2];
        std::memcpy(w, a.bytes().data(), sizeof w);
        return (w[0] & mask_[0]) == masked_[0] && (w[1] & mask_[1]) == masked_[1];
    }
    const IpAddr& address() const noexcept { return base_; }
    std::uint8_t prefix() const noexcept { return prefix_; }
    std::string to_string() const;

    bool operator==(const IpNetwork& o) const noexcept {
        return base_ == o.base_ && prefix_ == o.prefix_;
    }

private:
    IpAddr base_;
    std::uint8_t prefix_ = 0;
    // The prefix mask and the masked base, as the address bytes read in two words.
    std::uint64_t mask_[2] = {0, 0};
    std::uint64_t masked_[2] = {0, 0};
};

}  // namespace tarvo

template <>
struct std::hash<tarvo::IpAddr> {
    std::size_t operator()(const tarvo::IpAddr& a) const noexcept {
        std::uint64_t lo = 0;
        std::uint64_t hi = 0;
        std::memcpy(&lo, a.bytes().data(), 8);
        std::memcpy(&hi, a.bytes().data() + 8, 8);
        std::uint64_t h = lo * 0x9E3779B97F4A7C15ULL ^ (hi + static_cast<std::uint64_t>(a.family()));
        h ^= h >> 29U;
        h *= 0xBF58476D1CE4E5B9ULL;
        h ^= h >> 32U;
        return static_cast<std::size_t>(h);
    }
};

template <>
struct fmt::formatter<tarvo::IpAddr> : fmt::formatter<std::string_view> {
    template <typename Ctx>
    auto format(const tarvo::IpAddr& a, Ctx& ctx) const {
        char buf[64];
        const std::size_t n = a.format_to(buf);
        return fmt::formatter<std::string_view>::format(std::string_view(buf, n), ctx);
    }
};
