#pragma once

#include <atomic>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "capture/devices.h"
#include "capture/engine.h"
#include "capture/frame_ring.h"
#include "capture/pcap_handle.h"

namespace tarvo::capture {

inline constexpr std::size_t kCaptureQueueFrames = 4096;

// The libpcap engine: a `tarvo-capture` thread reads frames and copies them into a
// bounded ring (waiting while it is full); next_packet decodes them on the loop side.
// start, stop and next_packet are called from the main task.
class LinuxCaptureEngine final : public CaptureEngine {
public:
    // Resolves the interface as start will; logs "Initialising Linux capture on: {}".
    static Expected<std::unique_ptr<LinuxCaptureEngine>, CaptureError> create(
        CaptureSettings settings, DeviceLister lister = list_devices);
    // Reads a capture file through the same thread and ring instead of a live device.
    static std::unique_ptr<LinuxCaptureEngine> replay(std::filesystem::path file,
                                                      std::optional<std::string> filter = {});

    ~LinuxCaptureEngine() override;
    LinuxCaptureEngine(const LinuxCaptureEngine&) = delete;
    LinuxCaptureEngine& operator=(const LinuxCaptureEngine&) = delete;

    Expected<Ok, CaptureError> start() override;
    Expected<Ok, CaptureError> stop() override;
    Poll next_packet(PacketInfo& out) override;
    std::uint64_t undecodable() const override { return undecodable_; }

    bool running() const noexcept;
    // A replay whose file is read to the end and whose ring is drained.
    bool exhausted() const noexcept;

    struct Shared;  // ring and flags, shared with the capture thread

private:
    LinuxCaptureEngine(CaptureSettings settings, DeviceLister lister,
                       std::optional<std::filesystem::path> replay_file);

    CaptureSettings settings_;
    DeviceLister lister_;
    std::optional<std::filesystem::path> replay_file_;
    std::shared_ptr<Shared> shared_;  // present while started
    std::uint64_t undecodable_ = 0;
};

}  // namespace tarvo::capture
