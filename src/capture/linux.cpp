#include "capture/linux.h"

#include <pthread.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <fmt/format.h>

#include "capture/decode.h"
#include "logger/logger.h"

namespace tarvo::capture {

struct LinuxCaptureEngine::Shared {
    Shared(std::size_t slots, std::size_t arena) : ring(slots, arena) {}
    FrameRing ring;
    std::atomic<bool> running{false};
};

namespace {

constexpr std::string_view kTarget = "tarvo::capture::linux";
constexpr std::size_t kMinArenaBytes = 4U << 20U;
// libpcap never captures more than this per frame, whatever snaplen says.
constexpr std::size_t kMaxFrame = 262'144;

std::size_t arena_bytes(std::uint32_t snaplen) {
    return std::max(kMinArenaBytes, 4 * std::min<std::size_t>(snaplen, kMaxFrame));
}

// Pushes one frame, waiting while the ring is full. false: the consumer is gone.
bool push_waiting(LinuxCaptureEngine::Shared& s, std::span<const std::uint8_t> frame) {
    for (;;) {
        switch (s.ring.try_push(frame)) {
            case FrameRing::Push::Ok: return true;
            case FrameRing::Push::Closed: return false;
            case FrameRing::Push::Full: break;
        }
        if (!s.running.load(std::memory_order_relaxed)) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
}

void capture_thread(PcapHandle handle, std::shared_ptr<LinuxCaptureEngine::Shared> shared) {
    pthread_setname_np(pthread_self(), "tarvo-capture");
    logger::info(kTarget, "Capture thread started");
    while (shared->running.load(std::memory_order_relaxed)) {
        pcap_pkthdr* header = nullptr;
        const u_char* data = nullptr;
        const int rc = pcap_next_ex(handle.get(), &header, &data);
        if (rc == 1) {
            if (!push_waiting(*shared, {data, header->caplen})) {
                logger::warn(kTarget, "Capture channel closed; stopping thread");
                break;
            }
        } else if (rc == 0) {
            continue;  // read time-out
        } else if (rc == PCAP_ERROR_BREAK && handle.offline()) {
            break;  // end of the capture file
        } else {
            if (logger::enabled(logger::Level::Debug, kTarget)) {
                logger::debug(kTarget,
                              fmt::format("Capture read error: {}", pcap_geterr(handle.get())));
            }
            // A persistent error (interface gone) must not spin a core.
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    logger::info(kTarget, "Capture thread exiting");
    shared->ring.finish();
}

}  // namespace

LinuxCaptureEngine::LinuxCaptureEngine(CaptureSettings settings, DeviceLister lister,
                                       std::optional<std::filesystem::path> replay_file)
    : settings_(std::move(settings)),
      lister_(std::move(lister)),
      replay_file_(std::move(replay_file)) {}

LinuxCaptureEngine::~LinuxCaptureEngine() {
    if (shared_) {
        shared_->running.store(false);
        shared_->ring.close();
    }
}

Expected<std::unique_ptr<LinuxCaptureEngine>, CaptureError> LinuxCaptureEngine::create(
    CaptureSettings settings, DeviceLister lister) {
    auto device = resolve_interface(settings.interface, lister);
    if (!device) return Unexpected(device.error());
    logger::info(kTarget, fmt::format("Initialising Linux capture on: {}", *device));
    return std::unique_ptr<LinuxCaptureEngine>(
        new LinuxCaptureEngine(std::move(settings), std::move(lister), std::nullopt));
}

std::unique_ptr<LinuxCaptureEngine> LinuxCaptureEngine::replay(std::filesystem::path file,
                                                               std::optional<std::string> filter) {
    CaptureSettings s;
    s.interface = file.string();
    s.filter = std::move(filter);
    return std::unique_ptr<LinuxCaptureEngine>(
        new LinuxCaptureEngine(std::move(s), DeviceLister{}, std::move(file)));
}

bool LinuxCaptureEngine::running() const noexcept {
    return shared_ && shared_->running.load(std::memory_order_relaxed);
}

bool LinuxCaptureEngine::exhausted() const noexcept {
    return shared_ && shared_->ring.finished() && shared_->ring.size() == 0;
}

Expected<Ok, CaptureError> LinuxCaptureEngine::start() {
    if (running()) return Unexpected(CaptureError::already_started());
    Expected<PcapHandle, CaptureError> handle = Unexpected(CaptureError::not_started());
    if (replay_file_) {
        handle = PcapHandle::open_offline(*replay_file_, settings_.filter);
    } else {
        auto device = resolve_interface(settings_.interface, lister_);
        if (!device) return Unexpected(device.error());
        handle = PcapHandle::open_live(*device, settings_);
    }
    if (!handle) return Unexpected(handle.error());

    auto shared = std::make_shared<Shared>(kCaptureQueueFrames, arena_bytes(settings_.snaplen));
    shared->running.store(true);
    try {
        std::thread(capture_thread, std::move(*handle), shared).detach();
    } catch (const std::system_error&) {
        std::fputs("Failed to spawn tarvo-capture thread\n", stderr);
        std::abort();
    }
    shared_ = std::move(shared);
    logger::info(kTarget, fmt::format("Packet capture started on {}", settings_.interface));
    return Ok{};
}

Expected<Ok, CaptureError> LinuxCaptureEngine::stop() {
    if (!running()) return Unexpected(CaptureError::not_started());
    shared_->running.store(false);
    // Closing the ring releases a capture thread that waits for room.
    shared_->ring.close();
    shared_.reset();
    logger::info(kTarget, fmt::format("Packet capture stopped on {}", settings_.interface));
    return Ok{};
}

Poll LinuxCaptureEngine::next_packet(PacketInfo& out) {
    if (!running()) return Poll::Empty;
    FrameRing& ring = shared_->ring;
    // Read the flag before looking for a frame: once it is set, every frame is visible.
    const bool finished = ring.finished();
    const auto frame = ring.front();
    if (!frame) {
        if (finished && !replay_file_) {
            logger::warn(kTarget, "Capture channel disconnected unexpectedly");
            shared_->running.store(false);
        }
        return Poll::Empty;
    }
    const bool decoded = decode_into(*frame, out);
    ring.pop();
    if (!decoded) {
        ++undecodable_;
        return Poll::Undecodable;
    }
    return Poll::Packet;
}

}  // namespace tarvo::capture
