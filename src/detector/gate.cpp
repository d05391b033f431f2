#include "detector/gate.h"

#include <algorithm>
#include <array>
#include <bitset>
#include <cstring>
#include <memory>
#include <unordered_set>

#include <fmt/format.h>

#include "logger/logger.h"
#include "util/ip_ranges.h"

namespace tarvo::detector {
namespace {

constexpr std::string_view kTarget = "tarvo::detector::tracker";

// Well-known service and cloud networks whose addresses are never treated as scanners.
constexpr std::array<std::string_view, 83> kBuiltinTrusted = {
    "127.0.0.0/8",      "169.254.0.0/16",   "224.0.0.0/4",      "8.8.8.0/24",
    "8.8.4.0/24",       "142.250.0.0/15",   "172.217.0.0/16",   "216.58.0.0/16",
    "74.125.0.0/16",    "108.177.0.0/17",   "209.85.0.0/16",    "1.1.1.0/24",
    "1.0.0.0/24",       "104.16.0.0/13",    "172.64.0.0/13",    "162.158.0.0/15",
    "108.162.0.0/16",   "131.0.72.0/22",    "162.159.0.0/16",   "140.82.112.0/20",
    "192.30.252.0/22",  "185.199.108.0/22", "13.64.0.0/11",     "13.104.0.0/14",
    "20.0.0.0/8",       "40.0.0.0/8",       "52.0.0.0/8",       "104.40.0.0/13",
    "131.253.0.0/16",   "150.171.0.0/16",   "168.61.0.0/16",    "191.232.0.0/13",
    "204.79.197.0/24",  "17.0.0.0/8",       "63.92.0.0/16",     "31.13.0.0/16",
    "157.240.0.0/16",   "173.252.0.0/16",   "69.63.176.0/20",   "69.171.224.0/19",
    "66.220.144.0/20",  "199.201.64.0/22",  "151.101.0.0/16",   "146.75.0.0/16",
    "104.28.0.0/16",    "199.232.0.0/16",   "3.0.0.0/8",        "52.94.0.0/16",
    "54.0.0.0/8",       "99.0.0.0/8",       "108.156.0.0/14",   "13.32.0.0/15",
    "13.35.0.0/16",     "205.251.192.0/19", "204.246.164.0/22", "108.158.0.0/16",
    "23.0.0.0/8",       "104.0.0.0/8",      "184.0.0.0/8",      "104.244.0.0/16",
    "192.133.0.0/16",   "23.246.0.0/16",    "37.77.0.0/16",     "45.57.0.0/16",
    "108.175.0.0/16",   "78.31.0.0/16",     "193.182.0.0/16",   "66.22.0.0/16",
    "108.174.0.0/16",   "144.2.0.0/16",     "149.154.160.0/20", "91.108.4.0/22",
    "91.108.8.0/22",    "91.108.12.0/22",   "91.108.16.0/22",   "91.108.56.0/22",
    "149.154.164.0/22", "149.154.168.0/22", "149.154.172.0/22", "34.0.0.0/8",
    "35.0.0.0/8",       "160.79.104.0/22",  "4.2.2.0/24",
};

// The built-in networks as merged ranges, so a lookup is one binary search instead of
// 83 containment tests.
const IpRanges& builtin_ranges() {
    static const IpRanges ranges = [] {
        IpRanges r;
        for (const auto text : kBuiltinTrusted) {
            if (const auto net = IpNetwork::parse(text)) r.add(*net);
        }
        r.finish();
        return r;
    }();
    return ranges;
}

bool is_link_local_v6(const IpAddr& a) { return a.bytes()[0] == 0xFE && (a.bytes()[1] & 0xC0U) == 0x80; }
bool is_unique_local_v6(const IpAddr& a) { return (a.bytes()[0] & 0xFEU) == 0xFC; }
// Whole-array compares (two words), not byte loops: these sit on the packet path.
bool is_loopback_v6(const IpAddr& a) {
    static constexpr std::array<std::uint8_t, 16> kLoopback{0, 0, 0, 0, 0, 0, 0, 0,
                                                           0, 0, 0, 0, 0, 0, 0, 1};
    return std::memcmp(a.bytes().data(), kLoopback.data(), 16) == 0;
}
bool is_unspecified_v6(const IpAddr& a) {
    static constexpr std::array<std::uint8_t, 16> kZero{};
    return std::memcmp(a.bytes().data(), kZero.data(), 16) == 0;
}

const std::unordered_set<std::string_view>& list_a() {
    static const std::unordered_set<std::string_view> names = {
        "SearchApp.exe", "SearchIndexer.exe", "backgroundTaskHost.exe", "backgroundTransferHost.exe",
        "AppVShNotify.exe", "WmiPrvSE.exe", "dllhost.exe", "conhost.exe", "fontdrvhost.exe",
        "PerfWatson2.exe", "DiagTrack", "node.exe", "node", "python.exe", "python", "python3",
        "ruby.exe", "ruby", "java.exe", "java", "cargo.exe", "cargo", "rustc.exe", "git.exe", "git",
        "ssh.exe", "ssh", "sshd", "curl.exe", "curl", "wget", "powershell.exe", "powershell",
        "pwsh.exe", "pwsh", "cmd.exe", "bash", "zsh", "sh", "WindowsTerminal.exe", "wt.exe",
        "wezterm.exe", "alacritty.exe", "msedgewebview2.exe", "System", "Registry",
    };
    return names;
}

const std::unordered_set<std::string_view>& list_b() {
    static const std::unordered_set<std::string_view> names = {
        "chrome.exe", "chrome", "firefox.exe", "firefox", "msedge.exe", "msedge", "brave.exe",
        "brave", "opera.exe", "opera", "vivaldi.exe", "vivaldi", "safari", "arc.exe", "arc",
        "svchost.exe", "lsass.exe", "services.exe", "wininit.exe", "csrss.exe", "smss.exe",
        "winlogon.exe", "explorer.exe", "dwm.exe", "taskhostw.exe", "RuntimeBroker.exe",
        "MicrosoftEdgeUpdate.exe", "WUDFHost.exe", "spoolsv.exe", "SecurityHealthService.exe",
        "MpDefenderCoreService.exe", "MsMpEng.exe", "NisSrv.exe", "SgrmBroker.exe",
        "OfficeClickToRun.exe", "systemd", "NetworkManager", "dhclient", "dhcpcd", "chronyd", "ntpd",
        "resolved", "avahi-daemon", "teams.exe", "teams", "slack.exe", "slack", "discord.exe",
        "discord", "zoom.exe", "zoom", "outlook.exe", "outlook", "onedrive.exe", "onedrive",
        "code.exe", "code", "cursor.exe", "cursor", "devenv.exe", "devenv", "idea64.exe", "idea",
        "rider64.exe", "clion64.exe", "pycharm64.exe", "goland64.exe", "webstorm64.exe",
        "steam.exe", "steam", "tarvo.exe", "tarvo", "dropbox.exe", "dropbox", "claude.exe", "claude",
    };
    return names;
}

}  // namespace

ProcessClass classify_named(std::string_view process_name) {
    if (list_b().count(process_name) != 0) return ProcessClass::KnownApp;
    if (list_a().count(process_name) != 0) return ProcessClass::BusyTool;
    return ProcessClass::Neither;
}

bool inbound_to_inside_any(const IpAddr& src, const IpAddr& dst) {
    if (dst.is_v4()) {
        const std::uint32_t d = dst.v4_value();
        if ((d >> 24U) == 127) return true;
        if (!is_private_v4(d)) return false;
    } else {
        if (is_loopback_v6(dst)) return true;
        if (!is_link_local_v6(dst) && !is_unique_local_v6(dst)) return false;
    }
    const bool src_private = src.is_v4() ? is_private_v4(src.v4_value())
                                         : is_loopback_v6(src) || is_link_local_v6(src) ||
                                               is_unique_local_v6(src);
    return !src_private;
}

namespace {

// The /16 blocks that some built-in network touches: most addresses are rejected by
// one bit test before any search.
const std::bitset<65536>& builtin_blocks() {
    static const auto blocks = [] {
        auto b = std::make_unique<std::bitset<65536>>();
        for (const auto& [first, last] : builtin_ranges().v4_ranges()) {
            for (std::uint32_t block = first >> 16U; block <= last >> 16U; ++block) b->set(block);
        }
        return b;
    }();
    return *blocks;
}

}  // namespace

bool DetectionGate::in_builtin_ranges(std::uint32_t v) { return builtin_ranges().contains_v4(v); }

DetectionGate::DetectionGate() : builtin_blocks_(&builtin_blocks()) {}

DetectionGate::DetectionGate(const std::vector<IpAddr>& local_addresses,
                             const std::vector<std::string>& trusted_cidrs)
    : DetectionGate() {
    for (const auto& a : local_addresses) excluded_.add(IpNetwork(a, a.is_v4() ? 32 : 128));
    for (const auto& text : trusted_cidrs) {
        if (const auto net = IpNetwork::parse(text)) {
            excluded_.add(*net);
            ++trusted_count_;
        } else {
            logger::warn(kTarget, fmt::format("Invalid trusted_cidr '{}': {}", text,
                                              "not an IPv4 or IPv6 network in CIDR notation"));
        }
    }
    excluded_.finish();
}

bool DetectionGate::inspect_v6(const IpAddr& src) const {
    if (src.bytes()[0] == 0xFF || is_link_local_v6(src) || is_unique_local_v6(src) ||
        is_unspecified_v6(src) || is_loopback_v6(src)) {
        return false;
    }
    return !excluded_.contains(src);
}

}  // namespace tarvo::detector
