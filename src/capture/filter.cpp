#include "capture/filter.h"

#include <pcap/pcap.h>

#include <memory>

#include <fmt/format.h>

#include "logger/logger.h"
#include "util/ip.h"

namespace tarvo::capture {

Expected<Ok, std::string> validate_filter(const std::string& filter) {
    const std::unique_ptr<pcap_t, decltype(&pcap_close)> dead(pcap_open_dead(DLT_EN10MB, 65535),
                                                              &pcap_close);
    if (!dead) {
        return Unexpected(std::string("Could not create validation handle: pcap_open_dead failed"));
    }
    // Compiling is the whole check: libpcap refuses pcap_setfilter on a dead handle
    // ("A filter cannot be set on a pcap_open_dead pcap_t"), for valid filters too.
    bpf_program raw{};
    if (pcap_compile(dead.get(), &raw, filter.c_str(), 1, 0) != 0) {
        return Unexpected(fmt::format("Invalid BPF filter '{}': {}", filter, pcap_geterr(dead.get())));
    }
    pcap_freecode(&raw);
    return Ok{};
}

std::string build_auto_filter(const std::vector<std::string>& preblock) {
    std::string filter = "(ip or ip6)";
    std::string hosts;
    for (const auto& address : preblock) {
        // A word would make libpcap resolve it as a host name at startup (a DNS query)
        // or fail to compile, which would stop capture altogether.
        if (!IpAddr::parse(address)) {
            logger::warn("tarvo", fmt::format("Pre-block entry '{}' is not an IP address — left "
                                              "out of the BPF filter",
                                              address));
            continue;
        }
        if (!hosts.empty()) hosts += " or ";
        hosts += "host " + address;
    }
    if (hosts.empty()) return filter;
    return filter + " and not (" + hosts + ")";
}

std::string choose_filter(const std::optional<std::string>& configured,
                          const std::vector<std::string>& preblock) {
    if (configured) {
        auto valid = validate_filter(*configured);
        if (valid) {
            logger::info("tarvo", "Using config BPF filter", {{"filter", *configured}});
            return *configured;
        }
        logger::warn("tarvo",
                     fmt::format("Config BPF filter invalid: {} — falling back", valid.error()));
    }
    std::string filter = build_auto_filter(preblock);
    logger::info("tarvo", "Using auto-built BPF filter", {{"filter", filter}});
    return filter;
}

}  // namespace tarvo::capture
