#pragma once

#include <optional>
#include <string>
#include <vector>

#include "collect/scalar_readings.hpp"
#include "top/rate_tracking.hpp"
#include "top/window_fit.hpp"

// Percentages of the CPU time that passed between two readings.
struct CpuShares {
    double busy;  // everything but idle, nice included
    double user;
    double sys;
    double intr;
    double idle;
};

struct DiskRow {
    std::string name;
    DiskRates rates;
};

struct InterfaceRow {
    std::string name;
    InterfaceRates rates;
};

// Everything one frame shows; an absent member is a reading that failed (or,
// for the CPU, a refresh without a baseline) and leaves its piece out.
struct FrameContents {
    std::optional<CpuShares> cpu;
    std::optional<MemoryUsage> memory;
    std::optional<LoadAverages> load;
    std::optional<SwapUsage> swap;
    std::optional<ArcSizes> arc;
    std::optional<std::vector<DiskRow>> disks;
    std::optional<std::vector<InterfaceRow>> interfaces;
};

CpuShares compute_cpu_shares(const CpuTimes& current, const CpuTimes& previous);

// "1.5 KiB": scaled by 1024 up to TiB, the unit chosen before rounding.
std::string format_byte_amount(double bytes);
std::string format_byte_rate(double bytes_per_second);

// The whole screen, starting with the sequence that clears it: every line,
// or, given the terminal's window, what fits in it (fit_lines).
std::string build_frame(const FrameContents& contents, std::optional<WindowSize> window = {});
