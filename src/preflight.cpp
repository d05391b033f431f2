#include "preflight.h"

#include <dlfcn.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>

#include "util/strings.h"

namespace tarvo::preflight {
namespace {

constexpr std::size_t kInner = 70;  // columns between the two frame characters

std::string framed(std::string_view text) { return "║" + pad_right(text, kInner) + "║\n"; }

[[noreturn]] void fail_with(const std::string& box) {
    std::fwrite(box.data(), 1, box.size(), stderr);
    std::fflush(stderr);
    std::exit(1);  // NOLINT(concurrency-mt-unsafe): preflight runs before any other thread
}

struct PackageManager {
    const char* name;
    const char* command;
};

constexpr std::array<PackageManager, 8> kManagers = {{
    {"apt-get", "sudo apt-get install -y libpcap-dev"},
    {"apt", "sudo apt install -y libpcap-dev"},
    {"dnf", "sudo dnf install -y libpcap-devel"},
    {"yum", "sudo yum install -y libpcap-devel"},
    {"pacman", "sudo pacman -S libpcap"},
    {"apk", "sudo apk add libpcap-dev"},
    {"zypper", "sudo zypper install libpcap-devel"},
    {"emerge", "sudo emerge net-libs/libpcap"},
}};

constexpr std::array<const char*, 3> kLibpcapNames = {"libpcap.so.1", "libpcap.so",
                                                      "libpcap.so.0.8"};

}  // namespace

std::string render_box(std::string_view title, std::size_t title_indent,
                       const std::vector<std::string>& body) {
    std::string out = "\n";
    out += "╔" + repeat("═", kInner) + "╗\n";
    out += framed(std::string(title_indent, ' ') + std::string(title));
    out += "╠" + repeat("═", kInner) + "╣\n";
    for (const auto& line : body) out += framed(line);
    out += "╚" + repeat("═", kInner) + "╝\n\n";
    return out;
}

std::string privilege_box() {
    return render_box("TARVO  —  ROOT / CAP_NET_RAW REQUIRED", 17,
                      {
                          "",
                          "  TARVO needs elevated privileges to:",
                          "    • Open raw packet sockets (AF_PACKET / libpcap)",
                          "    • Install and remove nftables / iptables firewall rules",
                          "    • Read /proc/net/tcp for process-socket attribution",
                          "",
                          "  HOW TO FIX — choose ONE of these options:",
                          "",
                          "  Option 1 — Run with sudo (simplest):",
                          "             sudo ./tarvo",
                          "",
                          "  Option 2 — Grant capabilities (no full root, recommended):",
                          "             sudo setcap cap_net_raw,cap_net_admin=eip ./tarvo",
                          "             ./tarvo",
                          "",
                          "  Option 3 — Install system-wide then grant capabilities:",
                          "             sudo install -m 755 ./tarvo /usr/local/bin/",
                          "             sudo setcap cap_net_raw,cap_net_admin=eip \\",
                          "                          /usr/local/bin/tarvo",
                          "",
                      });
}

std::string libpcap_box(std::string_view install_command) {
    return render_box("TARVO  —  LIBPCAP NOT FOUND", 15,
                      {
                          "",
                          "  TARVO requires libpcap to capture network packets on Linux.",
                          "",
                          "  HOW TO INSTALL LIBPCAP:",
                          "",
                          "  Detected package manager command:",
                          "      " + std::string(install_command),
                          "",
                          "  Manual options by distribution:",
                          "    Debian / Ubuntu : sudo apt-get install -y libpcap-dev",
                          "    Fedora / RHEL   : sudo dnf install -y libpcap-devel",
                          "    Arch Linux      : sudo pacman -S libpcap",
                          "    Alpine          : sudo apk add libpcap-dev",
                          "    openSUSE        : sudo zypper install libpcap-devel",
                          "",
                          "  After installing, run TARVO again.",
                          "",
                      });
}

std::string no_interface_box() {
    return render_box("TARVO  —  NO NETWORK INTERFACE FOUND", 14,
                      {
                          "",
                          "  TARVO could not auto-detect a network interface to capture on.",
                          "",
                          "  HOW TO FIX:",
                          "    1. Run:  ip link show          (Linux)",
                          "       or:  ipconfig /all          (Windows)",
                          "       to list available interfaces.",
                          "",
                          "    2. Edit configs/tarvo.linux.yaml and set:",
                          "         capture_interface: \"eth0\"   (replace with your interface)",
                          "",
                      });
}

bool has_capture_capabilities(std::uint32_t effective_word0) {
    constexpr std::uint32_t kNeeded = (1U << CAP_NET_ADMIN) | (1U << CAP_NET_RAW);
    return (effective_word0 & kNeeded) == kNeeded;
}

std::string detect_package_manager(const std::filesystem::path& root) {
    for (const auto& m : kManagers) {
        for (const char* dir : {"usr/bin", "usr/local/bin", "bin"}) {
            if (::access((root / dir / m.name).c_str(), F_OK) == 0) return m.command;
        }
    }
    return "sudo apt-get install -y libpcap-dev  (adjust for your distribution)";
}

bool any_library_loads(std::span<const char* const> names) {
    for (const char* name : names) {
        if (void* handle = ::dlopen(name, RTLD_LAZY)) {
            ::dlclose(handle);
            return true;
        }
    }
    return false;
}

void check_privileges() {
    if (::getuid() == 0) return;
    __user_cap_header_struct header{};
    header.version = _LINUX_CAPABILITY_VERSION_3;  // 0x20080522
    header.pid = 0;
    std::array<__user_cap_data_struct, 2> data{};
    const long rc = ::syscall(SYS_capget, &header, data.data());
    if (rc == 0 && has_capture_capabilities(data[0].effective)) return;
    fail_with(privilege_box());
}

void check_libpcap() {
    if (any_library_loads(kLibpcapNames)) return;
    fail_with(libpcap_box(detect_package_manager()));
}

void print_no_interface_box() { fail_with(no_interface_box()); }

}  // namespace tarvo::preflight
