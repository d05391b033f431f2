#pragma once

#include <memory>

#include "util/saturating.h"

namespace tarvo {

// Counters of the whole run, shared by the packet loop, the control plane and the
// final report.
struct GlobalCounters {
    SaturatingCounter packet_count;
    SaturatingCounter block_count;
    SaturatingCounter alert_count;
};

using GlobalCountersPtr = std::shared_ptr<GlobalCounters>;

// Process entry: builds the runtime, runs the main task, returns the exit status.
int run_daemon();

}  // namespace tarvo
