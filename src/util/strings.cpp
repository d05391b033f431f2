#include "util/strings.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <system_error>

namespace tarvo {

std::string to_lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

std::size_t display_width(std::string_view utf8) {
    return static_cast<std::size_t>(std::count_if(utf8.begin(), utf8.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0U) != 0x80U;
    }));
}

std::string repeat(std::string_view s, std::size_t n) {
    std::string out;
    out.reserve(s.size() * n);
    for (std::size_t i = 0; i < n; ++i) out += s;
    return out;
}

std::string pad_right(std::string_view text, std::size_t width) {
    std::string out(text);
    const std::size_t w = display_width(text);
    if (w < width) out.append(width - w, ' ');
    return out;
}

std::string errno_text(int err) { return std::generic_category().message(err); }

}  // namespace tarvo

namespace tarvo {

bool is_valid_utf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t len = 0;
        std::uint32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        }
        if ((c & 0xE0U) == 0xC0U) {
            len = 2;
            cp = c & 0x1FU;
        } else if ((c & 0xF0U) == 0xE0U) {
            len = 3;
            cp = c & 0x0FU;
        } else if ((c & 0xF8U) == 0xF0U) {
            len = 4;
            cp = c & 0x07U;
        } else {
            return false;
        }
        if (i + len > s.size()) return false;
        for (std::size_t k = 1; k < len; ++k) {
            const auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0U) != 0x80U) return false;
            cp = (cp << 6U) | (cc & 0x3FU);
        }
        const std::uint32_t min = len == 2 ? 0x80U : len == 3 ? 0x800U : 0x10000U;
        if (cp < min || cp > 0x10FFFFU || (cp >= 0xD800U && cp <= 0xDFFFU)) return false;
        i += len;
    }
    return true;
}

}  // namespace tarvo

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "util/unique_fd.h"

namespace tarvo {

Expected<std::string, int> read_whole_file(const std::filesystem::path& path) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return Unexpected(errno);
    std::string out;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return Unexpected(errno);
        }
        if (n == 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

}  // namespace tarvo
