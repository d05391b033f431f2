#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "capture/engine.h"
#include "util/ip.h"

namespace tarvo::capture {

// A capture device as libpcap lists it.
struct Device {
    std::string name;
    std::string description;
    std::vector<IpAddr> addresses;
    bool up = false;
    bool running = false;
    bool loopback = false;
};

using DeviceLister = std::function<Expected<std::vector<Device>, CaptureError>()>;

// pcap_findalldevs, in libpcap's order.
Expected<std::vector<Device>, CaptureError> list_devices();

// Auto-selection score: 3 with addresses, 2 without, -1 when the device is rejected
// (loopback, any, docker, bridge and veth names, or down).
int auto_select_score(const Device& d);

// The device "auto" stands for: the best score, the last of equal best scores.
std::optional<std::string> auto_select(const std::vector<Device>& devices);

// Resolves a configured name ("auto" or exact) against the listed devices.
Expected<std::string, CaptureError> resolve_interface(const std::string& name,
                                                      const DeviceLister& lister);

// A device as the startup banner lists it.
struct Candidate {
    Device device;
    int score;
};

// Devices worth showing, with their auto-selection score; listing errors as PcapError.
Expected<std::vector<Candidate>, CaptureError> candidate_interfaces(const DeviceLister& lister);

// The host's own addresses, sorted for binary search; empty (with a warning) when the
// devices cannot be listed.
std::vector<IpAddr> local_addresses(const DeviceLister& lister);

}  // namespace tarvo::capture
