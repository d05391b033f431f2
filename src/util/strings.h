#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tarvo {

std::string to_lower(std::string_view s);

// Number of code points in UTF-8 text: the terminal width of the box texts we draw.
std::size_t display_width(std::string_view utf8);

// `s` written `n` times.
std::string repeat(std::string_view s, std::size_t n);

// `text` followed by spaces up to `width` display columns (nothing is cut).
std::string pad_right(std::string_view text, std::size_t width);

// The system's error text for errno `err`, without the thread-unsafe strerror.
std::string errno_text(int err);

}  // namespace tarvo

namespace tarvo {

// True when `s` is well-formed UTF-8.
bool is_valid_utf8(std::string_view s);

}  // namespace tarvo

#include <filesystem>

#include "util/expected.h"

namespace tarvo {

// The whole file, or the errno of the failed open or read.
Expected<std::string, int> read_whole_file(const std::filesystem::path& path);

}  // namespace tarvo
