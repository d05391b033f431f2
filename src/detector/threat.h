#pragma once

#include <cstdint>
#include <string_view>

#include "util/ip.h"

namespace tarvo::detector {

enum class ThreatCategory : std::uint8_t {
    PingSweep = 0,
    PingFlood = 1,
    SynScan = 2,
    ConnectScan = 3,
    NullScan = 4,
    FinScan = 5,
    XmasScan = 6,
    AckScan = 7,
    UdpScan = 10,
    OsScan = 11,
    SynFlood = 14,
};

enum class Severity : std::uint8_t { Low = 1, Medium = 2, High = 3, Critical = 4 };

// "SYN_SCAN", "PING_FLOOD", ...
std::string_view describe(ThreatCategory c);
// "LOW", "MEDIUM", "HIGH", "CRITICAL"
std::string_view describe(Severity s);
// "[~]", "[!]", "[!!]", "[!!!]"
std::string_view marker(Severity s);

struct ThreatDetection {
    std::string_view description;  // static text
    IpAddr source;
    Severity severity;
    ThreatCategory category;
};

namespace text {
inline constexpr std::string_view kPingFlood = "ICMP echo flood — potential DoS";
inline constexpr std::string_view kPingSweep = "ICMP echo sweep — host discovery scan";
inline constexpr std::string_view kAckScan = "ACK scan (firewall mapping) — nmap -sA";
inline constexpr std::string_view kSequentialScan = "Sequential port scan — automated tool";
inline constexpr std::string_view kSynScan = "SYN scan (half-open) — nmap -sS";
inline constexpr std::string_view kUdpScan = "UDP scan — nmap -sU";
inline constexpr std::string_view kNullScan = "NULL scan (no TCP flags) — nmap -sN";
inline constexpr std::string_view kXmasScan = "XMAS scan (FIN+PSH+URG) — nmap -sX";
inline constexpr std::string_view kConnectScan = "Connect scan (full TCP) — nmap -sT";
inline constexpr std::string_view kSynFlood = "SYN flood DoS — high-rate SYNs with no ACK";
inline constexpr std::string_view kOsScan = "OS fingerprinting — nmap -O / weird TCP flags";
inline constexpr std::string_view kFinScan = "FIN scan (FIN only) — nmap -sF";
}  // namespace text

}  // namespace tarvo::detector
