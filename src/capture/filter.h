#pragma once

#include <optional>
#include <string>
#include <vector>

#include "util/expected.h"

namespace tarvo::capture {

// Checks a filter against a dead Ethernet handle. The error is the reason text:
// "Invalid BPF filter '{}': {}" or "Could not create validation handle: {}".
Expected<Ok, std::string> validate_filter(const std::string& filter);

// "(ip or ip6)", followed by " and not (host A or host B ...)" for blocked addresses;
// entries that are not IP addresses are left out with a warning.
std::string build_auto_filter(const std::vector<std::string>& preblock);

// The configured filter when it is valid, otherwise the auto-built one; logs the choice.
std::string choose_filter(const std::optional<std::string>& configured,
                          const std::vector<std::string>& preblock);

}  // namespace tarvo::capture
