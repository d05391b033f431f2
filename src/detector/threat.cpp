#include "detector/threat.h"

namespace tarvo::detector {

std::string_view describe(ThreatCategory c) {
    switch (c) {
        case ThreatCategory::PingSweep: return "PING_SWEEP";
        case ThreatCategory::PingFlood: return "PING_FLOOD";
        case ThreatCategory::SynScan: return "SYN_SCAN";
        case ThreatCategory::ConnectScan: return "CONNECT_SCAN";
        case ThreatCategory::NullScan: return "NULL_SCAN";
        case ThreatCategory::FinScan: return "FIN_SCAN";
        case ThreatCategory::XmasScan: return "XMAS_SCAN";
        case ThreatCategory::AckScan: return "ACK_SCAN";
        case ThreatCategory::UdpScan: return "UDP_SCAN";
        case ThreatCategory::OsScan: return "OS_SCAN";
        case ThreatCategory::SynFlood: return "SYN_FLOOD";
    }
    return "UNKNOWN";
}

std::string_view describe(Severity s) {
    switch (s) {
        case Severity::Low: return "LOW";
        case Severity::Medium: return "MEDIUM";
        case Severity::High: return "HIGH";
        case Severity::Critical: return "CRITICAL";
    }
    return "LOW";
}

std::string_view marker(Severity s) {
    switch (s) {
        case Severity::Low: return "[~]";
        case Severity::Medium: return "[!]";
        case Severity::High: return "[!!]";
        case Severity::Critical: return "[!!!]";
    }
    return "[~]";
}

}  // namespace tarvo::detector
