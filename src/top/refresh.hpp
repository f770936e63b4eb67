#pragma once

#include <optional>
#include <string>
#include <vector>

#include "collect/disk_samples.hpp"
#include "collect/interface_samples.hpp"
#include "collect/scalar_readings.hpp"
#include "top/rate_tracking.hpp"
#include "top/window_fit.hpp"

// What the view carries from one refresh to the next.
struct TopState {
    CpuTimes previous_cpu{};
    bool have_cpu_baseline = false;
    PreviousDisks previous_disks;
    PreviousInterfaces previous_interfaces;
};

// One round of readings, each absent when its reader returned false.
struct RefreshReadings {
    std::optional<CpuTimes> cpu;
    std::optional<MemoryUsage> memory;
    std::optional<LoadAverages> load;
    std::optional<SwapUsage> swap;
    std::optional<ArcSizes> arc;
    std::optional<std::vector<DiskSample>> disks;
    std::optional<std::vector<InterfaceSample>> interfaces;
};

// Start-up: only the CPU, disk and interface readings count. Without a CPU
// baseline the view never shows CPU shares.
void take_baseline(TopState& state, const RefreshReadings& readings, double now);

// The frame of one refresh at monotonic time `now`, fitted to `window` when
// there is one; moves the state on to these readings, for every device
// whether its row is shown or not. A failed reading changes nothing in the
// state.
std::string refresh_frame(TopState& state, const RefreshReadings& readings, double now,
                          std::optional<WindowSize> window = {});
