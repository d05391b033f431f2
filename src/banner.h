#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarvo::banner {

// Step lines of the shutdown sequence; they keep their colour codes on every terminal.
inline constexpr std::string_view kStoppingCapture =
    "\n\x1b[93m[+] Stopping packet capture engine...\x1b[0m\n";
inline constexpr std::string_view kCaptureStopped =
    "\x1b[92m[✓] Packet capture engine stopped\x1b[0m\n";
inline constexpr std::string_view kCaptureTimeout =
    "\x1b[91m[!] Capture shutdown timeout exceeded\x1b[0m\n";
inline constexpr std::string_view kCleaningKernel =
    "\x1b[93m[+] Cleaning kernel filtering rules...\x1b[0m\n";
inline constexpr std::string_view kKernelCleaned =
    "\x1b[92m[✓] Kernel rules cleaned successfully\x1b[0m\n";

// "\n[!] Shutdown signal received (SIGINT)...\n"
std::string signal_line(std::string_view signal_name);

std::string shutdown_banner(bool plain);
std::string closing_banner(bool plain);

struct FinalFigures {
    double runtime_secs = 0;
    std::uint64_t packets = 0;
    std::uint64_t blocks = 0;
    std::uint64_t alerts = 0;
    bool export_active = false;
    std::uint64_t webhook_drops = 0;
    std::uint64_t socket_clients = 0;

    // Packets per second; a run shorter than a millisecond counts as one millisecond.
    double average_pps() const;
};

// The shortest decimal text (no exponent) that reads back as exactly `v`.
std::string shortest_decimal(double v);

std::string final_report(const FinalFigures& f);

}  // namespace tarvo::banner
