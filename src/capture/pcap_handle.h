#pragma once

#include <pcap/pcap.h>

#include <filesystem>
#include <memory>
#include <string>

#include "capture/engine.h"
#include "util/expected.h"

namespace tarvo::capture {

struct CaptureSettings {
    std::string interface;
    std::optional<std::string> filter;
    std::uint64_t buffer_size_mb = 64;
    std::uint64_t timeout_ms = 10;
    std::uint32_t snaplen = 65535;
    bool promiscuous = true;
};

// Kernel buffer size: MiB below 2048, else the largest int libpcap accepts.
int buffer_bytes(std::uint64_t buffer_size_mb);

// Owns one libpcap handle.
class PcapHandle {
public:
    // Creates, configures and activates a live handle on `device`, then installs the
    // filter. Nothing stays open on failure.
    static Expected<PcapHandle, CaptureError> open_live(const std::string& device,
                                                        const CaptureSettings& s);
    // A capture file read as if it were live (tests and the replay benchmark).
    static Expected<PcapHandle, CaptureError> open_offline(const std::filesystem::path& file,
                                                           const std::optional<std::string>& filter);

    pcap_t* get() const noexcept { return handle_.get(); }
    bool offline() const noexcept { return offline_; }

private:
    using Owned = std::unique_ptr<pcap_t, decltype(&pcap_close)>;
    PcapHandle(Owned h, bool offline) noexcept : handle_(std::move(h)), offline_(offline) {}
    Owned handle_;
    bool offline_ = false;
};

// Compiles and installs `filter` on `handle`; InvalidFilter with libpcap's text.
Expected<Ok, CaptureError> apply_filter(pcap_t* handle, const std::string& filter);

}  // namespace tarvo::capture
