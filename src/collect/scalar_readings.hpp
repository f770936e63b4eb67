#pragma once

#include <cstdint>

// One reading of each host-wide figure. A reader fills every field of its
// record and returns true, or returns false and writes nothing, so callers
// zero a record before each call.

struct CpuTimes {
    double user;       // seconds in user mode since boot, all CPUs together
    double nice;       // user mode at lowered priority
    double system;     // kernel mode
    double interrupt;  // handling interrupts
    double idle;
};

struct MemoryUsage {
    std::uint64_t total_bytes;
    std::uint64_t used_bytes;  // total - free, never below 0
};

struct SwapUsage {
    std::uint64_t total_bytes;
    std::uint64_t used_bytes;
};

struct LoadAverages {
    double load1;
    double load5;
    double load15;
};

struct ArcSizes {
    std::uint64_t size_bytes;
    std::uint64_t c_max_bytes;  // 0 when the target maximum cannot be read
};

bool read_cpu_times(CpuTimes& times);
bool read_memory_usage(MemoryUsage& memory);
bool read_swap_usage(SwapUsage& swap);
bool read_load_averages(LoadAverages& load);
bool read_arc_sizes(ArcSizes& arc);
