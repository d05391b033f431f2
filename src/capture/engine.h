#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "capture/packet_info.h"
#include "util/expected.h"

namespace tarvo::capture {

// Capture failures with their display texts.
struct CaptureError {
    enum class Kind : std::uint8_t {
        InterfaceNotFound,
        PermissionDenied,
        InvalidFilter,
        AlreadyStarted,
        NotStarted,
        PcapError,
    };
    Kind kind;
    std::string text;

    static CaptureError interface_not_found(std::string t) { return {Kind::InterfaceNotFound, std::move(t)}; }
    static CaptureError permission_denied(std::string t) { return {Kind::PermissionDenied, std::move(t)}; }
    static CaptureError invalid_filter(std::string t) { return {Kind::InvalidFilter, std::move(t)}; }
    static CaptureError already_started() { return {Kind::AlreadyStarted, {}}; }
    static CaptureError not_started() { return {Kind::NotStarted, {}}; }
    static CaptureError pcap(std::string t) { return {Kind::PcapError, std::move(t)}; }

    // "Network interface 'eth9' not found", "Capture already started", ...
    std::string message() const;
};

// What one poll of the engine gave.
enum class Poll : std::uint8_t {
    Packet,       // `out` holds a decoded packet
    Undecodable,  // a frame was taken and released; more may be queued
    Empty,        // nothing queued (or the engine is stopped)
};

// Delivers captured packets to the packet loop. start, stop and next_packet are called
// from the main task only; capture itself may run on a thread of the engine's own.
class CaptureEngine {
public:
    virtual ~CaptureEngine() = default;

    virtual Expected<Ok, CaptureError> start() = 0;
    virtual Expected<Ok, CaptureError> stop() = 0;
    // Never waits.
    virtual Poll next_packet(PacketInfo& out) = 0;

    // Frames taken that did not decode.
    virtual std::uint64_t undecodable() const = 0;
};

using CaptureEnginePtr = std::unique_ptr<CaptureEngine>;

}  // namespace tarvo::capture
