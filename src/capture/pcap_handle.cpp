#include "capture/pcap_handle.h"

#include <fmt/format.h>

#include "logger/logger.h"

namespace tarvo::capture {
namespace {

constexpr std::string_view kTarget = "tarvo::capture::linux";

using Program = std::unique_ptr<bpf_program, decltype(&pcap_freecode)>;

}  // namespace

std::string CaptureError::message() const {
    switch (kind) {
        case Kind::InterfaceNotFound: return fmt::format("Network interface '{}' not found", text);
        case Kind::PermissionDenied: return fmt::format("Permission denied: {}", text);
        case Kind::InvalidFilter: return fmt::format("Invalid BPF filter: {}", text);
        case Kind::AlreadyStarted: return "Capture already started";
        case Kind::NotStarted: return "Capture not started";
        case Kind::PcapError: break;
    }
    return fmt::format("PCAP error: {}", text);
}

int buffer_bytes(std::uint64_t buffer_size_mb) {
    if (buffer_size_mb < 2048) return static_cast<int>(buffer_size_mb * 1'048'576ULL);
    return 2'147'483'647;
}

Expected<Ok, CaptureError> apply_filter(pcap_t* handle, const std::string& filter) {
    bpf_program raw{};
    if (pcap_compile(handle, &raw, filter.c_str(), 1, 0) != 0) {
        return Unexpected(CaptureError::invalid_filter(pcap_geterr(handle)));
    }
    const Program program(&raw, &pcap_freecode);
    if (pcap_setfilter(handle, program.get()) != 0) {
        return Unexpected(CaptureError::invalid_filter(pcap_geterr(handle)));
    }
    return Ok{};
}

Expected<PcapHandle, CaptureError> PcapHandle::open_live(const std::string& device,
                                                         const CaptureSettings& s) {
    if (device.find('\0') != std::string::npos) {
        return Unexpected(CaptureError::pcap("interface name contains a NUL byte"));
    }
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    Owned p{pcap_create(device.c_str(), errbuf), &pcap_close};
    if (!p) return Unexpected(CaptureError::pcap(errbuf));
    const bool configured =
        pcap_set_timeout(p.get(), static_cast<int>(static_cast<std::uint32_t>(s.timeout_ms))) == 0 &&
        pcap_set_promisc(p.get(), s.promiscuous ? 1 : 0) == 0 &&
        pcap_set_snaplen(p.get(), static_cast<int>(s.snaplen)) == 0 &&
        pcap_set_buffer_size(p.get(), buffer_bytes(s.buffer_size_mb)) == 0;
    if (!configured) return Unexpected(CaptureError::pcap(pcap_geterr(p.get())));
    // rc > 0 is only a warning (promiscuous mode refused, ...): the handle is live.
    const int rc = pcap_activate(p.get());
    if (rc < 0) {
        const std::string text = pcap_geterr(p.get());
        if (text.find("permission") != std::string::npos ||
            text.find("Operation not permitted") != std::string::npos ||
            rc == PCAP_ERROR_PERM_DENIED) {
            return Unexpected(
                CaptureError::permission_denied("Run as root (or grant CAP_NET_RAW) for packet capture"));
        }
        // Some activation errors leave the text empty; name the code instead.
        return Unexpected(CaptureError::pcap(text.empty() ? pcap_statustostr(rc) : text));
    }
    if (s.filter) {
        if (auto ok = apply_filter(p.get(), *s.filter); !ok) return Unexpected(ok.error());
        logger::debug(kTarget, fmt::format("Applied BPF filter: {}", *s.filter));
    }
    return PcapHandle{std::move(p), false};
}

Expected<PcapHandle, CaptureError> PcapHandle::open_offline(
    const std::filesystem::path& file, const std::optional<std::string>& filter) {
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    Owned p{pcap_open_offline(file.c_str(), errbuf), &pcap_close};
    if (!p) return Unexpected(CaptureError::pcap(errbuf));
    if (filter) {
        if (auto ok = apply_filter(p.get(), *filter); !ok) return Unexpected(ok.error());
    }
    return PcapHandle{std::move(p), true};
}

}  // namespace tarvo::capture
