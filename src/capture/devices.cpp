#include "capture/devices.h"

#include <netinet/in.h>
#include <pcap/pcap.h>

#include <algorithm>
#include <memory>

#include <fmt/format.h>

#include "logger/logger.h"
#include "util/strings.h"

namespace tarvo::capture {
namespace {

bool contains(const std::string& s, std::string_view part) {
    return s.find(part) != std::string::npos;
}

bool rejected_name(const std::string& lower) {
    return lower == "lo" || lower.starts_with("lo:") || contains(lower, "loopback") ||
           contains(lower, "any") || lower.starts_with("docker") || lower.starts_with("br-") ||
           lower.starts_with("virbr") || lower.starts_with("veth");
}

bool hidden_from_listing(const std::string& lower) {
    return lower.starts_with("lo") || contains(lower, "loopback") || contains(lower, "any") ||
           contains(lower, "dummy") || contains(lower, "virbr") || lower.starts_with("docker") ||
           lower.starts_with("br-");
}

}  // namespace

Expected<std::vector<Device>, CaptureError> list_devices() {
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_if_t* raw = nullptr;
    if (pcap_findalldevs(&raw, errbuf) != 0) return Unexpected(CaptureError::pcap(errbuf));
    const std::unique_ptr<pcap_if_t, decltype(&pcap_freealldevs)> owned(raw, &pcap_freealldevs);
    std::vector<Device> out;
    for (const pcap_if_t* d = raw; d != nullptr; d = d->next) {
        Device dev;
        dev.name = d->name != nullptr ? d->name : "";
        dev.description = d->description != nullptr ? d->description : "";
        dev.up = (d->flags & PCAP_IF_UP) != 0;
        dev.running = (d->flags & PCAP_IF_RUNNING) != 0;
        dev.loopback = (d->flags & PCAP_IF_LOOPBACK) != 0;
        for (const pcap_addr_t* a = d->addresses; a != nullptr; a = a->next) {
            if (a->addr == nullptr) continue;
            if (a->addr->sa_family == AF_INET) {
                const auto* sin = reinterpret_cast<const sockaddr_in*>(a->addr);
                dev.addresses.push_back(
                    IpAddr::v4_bytes(reinterpret_cast<const std::uint8_t*>(&sin->sin_addr)));
            } else if (a->addr->sa_family == AF_INET6) {
                const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(a->addr);
                dev.addresses.push_back(
                    IpAddr::v6_bytes(reinterpret_cast<const std::uint8_t*>(&sin6->sin6_addr)));
            }
        }
        out.push_back(std::move(dev));
    }
    return out;
}

int auto_select_score(const Device& d) {
    if (rejected_name(to_lower(d.name)) || !d.up) return -1;
    return d.addresses.empty() ? 2 : 3;
}

std::optional<std::string> auto_select(const std::vector<Device>& devices) {
    std::optional<std::string> best;
    int best_score = -1;
    for (const auto& d : devices) {
        const int score = auto_select_score(d);
        if (score >= 0 && score >= best_score) {
            best = d.name;
            best_score = score;
        }
    }
    return best;
}

Expected<std::string, CaptureError> resolve_interface(const std::string& name,
                                                      const DeviceLister& lister) {
    auto devices = lister();
    if (!devices) return Unexpected(devices.error());
    if (name == "auto") {
        if (auto chosen = auto_select(*devices)) return *chosen;
        return Unexpected(
            CaptureError::interface_not_found("No suitable interface found for auto-selection"));
    }
    const bool found = std::any_of(devices->begin(), devices->end(),
                                   [&](const Device& d) { return d.name == name; });
    if (!found) return Unexpected(CaptureError::interface_not_found(name));
    return name;
}

Expected<std::vector<Candidate>, CaptureError> candidate_interfaces(const DeviceLister& lister) {
    auto devices = lister();
    if (!devices) return Unexpected(devices.error());
    std::vector<Candidate> out;
    for (auto& d : *devices) {
        if (hidden_from_listing(to_lower(d.name))) continue;
        const int score = auto_select_score(d);
        out.push_back(Candidate{std::move(d), score});
    }
    return out;
}

std::vector<IpAddr> local_addresses(const DeviceLister& lister) {
    auto devices = lister();
    if (!devices) {
        logger::warn("tarvo::detector::tracker",
                     fmt::format("enumerate_local_ips: pcap::Device::list() failed: {}",
                                 devices.error().message()));
        return {};
    }
    std::vector<IpAddr> out;
    for (const auto& d : *devices) out.insert(out.end(), d.addresses.begin(), d.addresses.end());
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

}  // namespace tarvo::capture
