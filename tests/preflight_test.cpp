#include "preflight.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "support/temp_dir.h"
#include "util/strings.h"

namespace tarvo::preflight {
namespace {

using ::testing::HasSubstr;

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

TEST(HelpBoxes, AreFramedAt72Columns) {
    struct Case {
        const char* name;
        std::string box;
        const char* title_line;
        std::size_t body_lines;
    };
    const Case cases[] = {
        {"privilege", privilege_box(),
         "║                 TARVO  —  ROOT / CAP_NET_RAW REQUIRED                ║", 20},
        {"libpcap", libpcap_box("sudo apt-get install -y libpcap-dev"),
         "║               TARVO  —  LIBPCAP NOT FOUND                            ║", 17},
        {"no interface", no_interface_box(),
         "║              TARVO  —  NO NETWORK INTERFACE FOUND                    ║", 11},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto lines = lines_of(c.box);
        ASSERT_EQ(lines.size(), c.body_lines + 6);
        EXPECT_EQ(lines.front(), "");
        EXPECT_EQ(lines.back(), "");
        EXPECT_EQ(lines[1], "╔" + std::string() + [] {
            std::string s;
            for (int i = 0; i < 70; ++i) s += "═";
            return s;
        }() + "╗");
        EXPECT_EQ(lines[2], c.title_line);
        EXPECT_TRUE(lines[3].starts_with("╠") && lines[3].ends_with("╣"));
        EXPECT_TRUE(lines[lines.size() - 2].starts_with("╚"));
        for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
            EXPECT_EQ(display_width(lines[i]), 72U) << lines[i];
        }
        EXPECT_EQ(lines[4], "║" + std::string(70, ' ') + "║");  // every box opens with a blank
    }
}

TEST(HelpBoxes, CarryTheirInstructions) {
    const auto priv = lines_of(privilege_box());
    EXPECT_EQ(priv[4 + 9], "║             sudo ./tarvo" + std::string(45, ' ') + "║");
    EXPECT_THAT(privilege_box(),
                HasSubstr("║             sudo setcap cap_net_raw,cap_net_admin=eip \\"));
    EXPECT_THAT(no_interface_box(), HasSubstr("║    2. Edit configs/tarvo.linux.yaml and set:"));
    EXPECT_THAT(no_interface_box(),
                HasSubstr("capture_interface: \"eth0\"   (replace with your interface)"));

    // A command wider than the interior is not cut: the frame follows it directly.
    const std::string fallback = "sudo apt-get install -y libpcap-dev  (adjust for your distribution)";
    EXPECT_THAT(libpcap_box(fallback), HasSubstr("║      " + fallback + "║\n"));
    EXPECT_THAT(libpcap_box("sudo pacman -S libpcap"),
                HasSubstr("║  Detected package manager command:"));
}

TEST(Capabilities, NeedBothNetAdminAndNetRaw) {
    const std::pair<std::uint32_t, bool> cases[] = {
        {0, false},
        {1U << 13, false},  // CAP_NET_RAW only
        {1U << 12, false},  // CAP_NET_ADMIN only
        {(1U << 12) | (1U << 13), true},
        {0xFFFFFFFFU, true},
    };
    for (const auto& [word, ok] : cases) {
        SCOPED_TRACE(word);
        EXPECT_EQ(has_capture_capabilities(word), ok);
    }
}

TEST(DetectPackageManager, TableOrderThenFallback) {
    test::TempDir root;
    EXPECT_EQ(detect_package_manager(root.path()),
              "sudo apt-get install -y libpcap-dev  (adjust for your distribution)");
    test::write_file(root / "bin/apk", "");
    EXPECT_EQ(detect_package_manager(root.path()), "sudo apk add libpcap-dev");
    test::write_file(root / "usr/local/bin/dnf", "");
    EXPECT_EQ(detect_package_manager(root.path()), "sudo dnf install -y libpcap-devel");
    test::write_file(root / "usr/bin/apt-get", "");
    EXPECT_EQ(detect_package_manager(root.path()), "sudo apt-get install -y libpcap-dev");
}

TEST(LibraryProbe, LoadsAnyOfTheNames) {
    const char* present[] = {"libnot-there.so.9", "libpcap.so.0.8"};
    EXPECT_TRUE(any_library_loads(present));
    const char* absent[] = {"libnot-there.so.9"};
    EXPECT_FALSE(any_library_loads(absent));
}

}  // namespace
}  // namespace tarvo::preflight
