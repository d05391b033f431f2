#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "capture/engine.h"
#include "capture/pcap_handle.h"

namespace tarvo::capture {

// Reads a capture file straight into the packet loop: no thread, no queue, no copy.
// Used by tests and the replay benchmark.
class PcapFileSource final : public CaptureEngine {
public:
    static Expected<std::unique_ptr<PcapFileSource>, CaptureError> open(
        const std::filesystem::path& file, const std::optional<std::string>& filter = {});

    Expected<Ok, CaptureError> start() override;
    Expected<Ok, CaptureError> stop() override;
    Poll next_packet(PacketInfo& out) override;
    std::uint64_t undecodable() const override { return undecodable_; }

    bool exhausted() const noexcept { return exhausted_; }

private:
    explicit PcapFileSource(PcapHandle handle) : handle_(std::move(handle)) {}
    PcapHandle handle_;
    bool running_ = false;
    bool exhausted_ = false;
    std::uint64_t undecodable_ = 0;
};

}  // namespace tarvo::capture
