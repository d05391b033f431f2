#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tarvo::test {

// A fresh directory under /tmp, removed with everything in it at scope end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

void write_file(const std::filesystem::path& path, std::string_view text);
std::string read_file(const std::filesystem::path& path);

// How often `part` occurs in `text` (overlapping occurrences count).
inline std::size_t count_of(std::string_view text, std::string_view part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string_view::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

}  // namespace tarvo::test
