#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarvo::preflight {

// A 72-column help box: title line, separator, body lines (an empty string is a
// blank line), with an empty line before and after. Over-long texts are not cut.
std::string render_box(std::string_view title, std::size_t title_indent,
                       const std::vector<std::string>& body);

std::string privilege_box();
std::string libpcap_box(std::string_view install_command);
std::string no_interface_box();

// Both CAP_NET_ADMIN (bit 12) and CAP_NET_RAW (bit 13) in the first effective word.
bool has_capture_capabilities(std::uint32_t effective_word0);

// The install command of the first package manager found under `root`
// (usr/bin, usr/local/bin, bin), or the generic fallback.
std::string detect_package_manager(const std::filesystem::path& root = "/");

// True when one of `names` loads as a shared library.
bool any_library_loads(std::span<const char* const> names);

// Each returns when the check passes; otherwise prints its box to standard error and
// exits with status 1.
void check_privileges();
void check_libpcap();
[[noreturn]] void print_no_interface_box();

}  // namespace tarvo::preflight
