#include "banner.h"

#include <algorithm>
#include <array>
#include <charconv>

#include <fmt/format.h>

#include "util/strings.h"

namespace tarvo::banner {
namespace {

constexpr std::string_view kRed = "\x1b[91m";
constexpr std::string_view kMagenta = "\x1b[95m";
constexpr std::string_view kCyan = "\x1b[96m";
constexpr std::string_view kReset = "\x1b[0m";

const std::string kTop = "╔" + repeat("═", 78) + "╗\n";
const std::string kEmpty = "║" + std::string(78, ' ') + "║\n";
const std::string kBottom = "╚" + repeat("═", 78) + "╝\n";
const std::string kRule = std::string(80, '=') + "\n";

}  // namespace

std::string signal_line(std::string_view signal_name) {
    return fmt::format("\n[!] Shutdown signal received ({})...\n", signal_name);
}

std::string shutdown_banner(bool plain) {
    if (plain) {
        return "\n" + kRule + "                       TARVO HALVERIN SOC  --  SHUTDOWN\n" + kRule +
               "\n";
    }
    return fmt::format(
        "{}\n{}{}{}{}{}{}\n", kRed, kTop, kEmpty,
        "║                        TARVO HALVERIN SOC SHUTDOWN                           ║\n",
        kEmpty, kBottom, kReset);
}

std::string closing_banner(bool plain) {
    if (plain) {
        return kRule + "  All monitoring pipelines terminated\n" +
               "  Kernel telemetry streams disconnected\n" +
               "  Security services safely shut down\n" + "  Stay safe out there, operator.\n" +
               kRule + "                        TARVO HALVERIN  --  OFFLINE\n" + kRule + "\n";
    }
    std::string out = std::string(kMagenta) + "\n" + kTop + kEmpty;
    out += "║                         TARVO HALVERIN OFFLINE                              ║\n";
    out += kEmpty;
    out += "║                  All monitoring pipelines terminated                        ║\n";
    out += "║                  Kernel telemetry streams disconnected                      ║\n";
    out += "║                  Security services safely shut down                         ║\n";
    out += kEmpty;
    out += "║                     Stay safe out there, operator.                          ║\n";
    out += kEmpty + kBottom + std::string(kReset) + "\n";
    return out;
}

double FinalFigures::average_pps() const {
    return static_cast<double>(packets) / std::max(runtime_secs, 0.001);
}

std::string shortest_decimal(double v) {
    std::array<char, 400> buf{};  // fixed notation of the largest double needs 309 digits
    const auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), v,
                                         std::chars_format::fixed);
    if (ec != std::errc{}) return fmt::format("{}", v);
    return {buf.data(), end};
}

std::string final_report(const FinalFigures& f) {
    std::string out = fmt::format("\n{}\n", kCyan);
    out += "+--------------------  FINAL OPERATION REPORT  ---------------------------+\n";
    out += "|" + std::string(74, ' ') + "|\n";
    const auto count_line = [&out](std::string_view label, std::uint64_t value) {
        out += fmt::format("|  {} : {:>12}{}|\n", label, value, std::string(34, ' '));
    };
    count_line("Total Packets Processed", f.packets);
    count_line("Threats Blocked        ", f.blocks);
    count_line("Security Alerts Raised ", f.alerts);
    out += fmt::format("|  Average Throughput      : {:>9} pps{}|\n",
                       shortest_decimal(f.average_pps()), std::string(30, ' '));
    out += fmt::format("|  Total Runtime           : {:>9.1f} seconds{}|\n", f.runtime_secs,
                       std::string(26, ' '));
    if (f.export_active) {
        count_line("Webhook Export Drops   ", f.webhook_drops);
        count_line("Active Socket Clients  ", f.socket_clients);
    }
    out += "|" + std::string(74, ' ') + "|\n";
    out += "+" + std::string(74, '-') + "+\n";
    out += fmt::format("{}\n\n", kReset);
    return out;
}

}  // namespace tarvo::banner
