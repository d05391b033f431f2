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

}  // namespace tarvo::test
