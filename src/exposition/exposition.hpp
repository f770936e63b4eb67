#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "collect/disk_samples.hpp"
#include "collect/interface_samples.hpp"
#include "collect/scalar_readings.hpp"

// Family blocks of the Prometheus text exposition (format 0.0.4), each its
// HELP and TYPE lines followed by its samples, appended to `text`. Metric names
// are `prefix` followed by a fixed suffix. Pure: no kernel calls.

void append_cpu_families(std::string& text, std::string_view prefix, const CpuTimes& cpu);
void append_memory_families(std::string& text, std::string_view prefix, const MemoryUsage& memory);
void append_swap_families(std::string& text, std::string_view prefix, const SwapUsage& swap);
void append_load_families(std::string& text, std::string_view prefix, const LoadAverages& load);
void append_arc_families(std::string& text, std::string_view prefix, const ArcSizes& arc);
void append_disk_families(std::string& text, std::string_view prefix,
                          const std::vector<DiskSample>& disks);
void append_interface_families(std::string& text, std::string_view prefix,
                               const std::vector<InterfaceSample>& interfaces);
void append_build_info(std::string& text, std::string_view prefix, std::string_view version);

// True when `prefix` keeps every metric name valid: empty, or matching
// [a-zA-Z_:][a-zA-Z0-9_:]*.
bool is_valid_metrics_prefix(std::string_view prefix);
