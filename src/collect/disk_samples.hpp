#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>
#include <libgeom.h>

// Cumulative I/O counters of one disk (a provider at the bottom of the GEOM
// graph), since the device appeared.
struct DiskSample {
    std::string name;
    std::uint64_t read_bytes;
    std::uint64_t write_bytes;
    std::uint64_t read_ops;
    std::uint64_t write_ops;
    double busy_seconds;
};

// The open GEOM statistics and a copy of the GEOM tree, kept for the life of
// its owner. A handle that is not ready never becomes ready again.
struct GeomStatsHandle {
    bool ready = false;
    bool stats_open = false;
    bool tree_loaded = false;
    struct gmesh mesh {};
    // The tree's objects sorted by id, made again with every load of it.
    std::vector<std::pair<const void*, struct gident*>> by_id;
    // "kern.devstat.generation" when the statistics were last mapped, if it
    // could be read then.
    bool generation_known = false;
    long mapped_generation = 0;
};

std::unique_ptr<GeomStatsHandle> open_geom_stats();
void close_geom_stats(std::unique_ptr<GeomStatsHandle>& handle);

// Empties `disks` and fills it from one statistics snapshot.
bool read_disk_samples(GeomStatsHandle& handle, std::vector<DiskSample>& disks);
