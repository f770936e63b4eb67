#include "collect/disk_samples.hpp"

#include <sys/types.h>
#include <sys/devicestat.h>
#include <sys/sysctl.h>
#include <sys/time.h>
#include <libgeom.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "common/diagnostic.hpp"
#include "platform/kernel_sources.hpp"

namespace {

// 2^-64: a bintime fraction counts units of 2^-64 seconds. Exact as a double.
constexpr double seconds_per_bintime_fraction = 5.421010862427522e-20;

bool earlier(const std::pair<const void*, struct gident*>& entry, const void* id)
{
    return std::less<const void*>()(entry.first, id);
}

// geom_lookupid() walks every object of the tree, and a scrape looks up every
// statistics record: quadratic in the disks. Sorted once per load, a lookup
// is a binary search.
void index_tree(GeomStatsHandle& handle)
{
    handle.by_id.clear();
    for (struct gident* entry = handle.mesh.lg_ident; entry != nullptr && entry->lg_id != nullptr;
         ++entry)
        handle.by_id.emplace_back(entry->lg_id, entry);
    std::sort(handle.by_id.begin(), handle.by_id.end(),
              [](const auto& a, const auto& b) { return earlier(a, b.first); });
}

struct gident* lookup(const GeomStatsHandle& handle, const void* id)
{
    const auto at = std::lower_bound(handle.by_id.begin(), handle.by_id.end(), id, earlier);
    return at != handle.by_id.end() && at->first == id ? at->second : nullptr;
}

// Loads the tree again, false when that fails; the failed load left no tree
// to free at close.
bool reload_tree(GeomStatsHandle& handle)
{
    geom_deletetree(&handle.mesh);
    handle.by_id.clear();
    if (geom_gettree(&handle.mesh) != 0) {
        handle.tree_loaded = false;
        handle.ready = false;
        return false;
    }
    index_tree(handle);
    return true;
}

// The provider a statistics record belongs to, reloading the tree once when the
// record names an object the tree does not hold yet (a device attached between
// reading the generation and taking the snapshot). False when the reload fails.
bool find_in_tree(GeomStatsHandle& handle, const void* id, struct gident*& found)
{
    found = lookup(handle, id);
    if (found != nullptr)
        return true;
    if (!reload_tree(handle))
        return false;
    found = lookup(handle, id);
    return true;
}

// The kernel's count of statistics records added and removed.
bool read_devstat_generation(long& generation)
{
    long value = 0;
    size_t length = sizeof value;
    if (sysctlbyname("kern.devstat.generation", &value, &length, nullptr, 0) != 0 ||
        length != sizeof value)
        return false;
    generation = value;
    return true;
}

// The statistics are a mapping of the kernel's pages of records, and a
// snapshot copies only the pages that were there when they were mapped. A
// record added since may sit in a page added after that: remap whenever the
// generation has moved. The tree goes stale then too, worse than by missing
// objects: records and tree name objects by their kernel addresses, and the
// address of a detached device's geom, consumer or provider is soon given to
// another object, so a new disk's record would match a stale entry and be
// left out or named as the old one. The kernel adds the page before it moves
// the generation, and makes a provider under the topology lock that the
// tree's copy waits for, so the generation is read first; one that cannot be
// read at all means a reload every time. False when the tree cannot be
// loaded again.
bool refresh_if_stale(GeomStatsHandle& handle)
{
    long generation = 0;
    const bool known = read_devstat_generation(generation);
    if (known && handle.generation_known && generation == handle.mapped_generation)
        return true;
    geom_stats_resync();
    if (!reload_tree(handle))
        return false;
    handle.generation_known = known;
    handle.mapped_generation = generation;
    return true;
}

}  // namespace

std::unique_ptr<GeomStatsHandle> open_geom_stats()
{
    // Said once, when the handle is opened at start-up, never per reading: in
    // a jail whose devfs ruleset hides the statistics device nothing else
    // would tell why every disk family is missing.
    auto handle = std::make_unique<GeomStatsHandle>();
    if (const int error = geom_gettree(&handle->mesh); error != 0) {
        diagnose("cannot read the GEOM tree: {}; the disk families are left out\n",
                 std::strerror(error));
        return handle;
    }
    handle->tree_loaded = true;
    index_tree(*handle);
    handle->generation_known = read_devstat_generation(handle->mapped_generation);
    if (const int error = geom_stats_open(); error != 0) {
        diagnose("cannot open {}: {}; the disk families are left out\n", disk_statistics_path,
                 std::strerror(error));
        return handle;
    }
    handle->ready = true;
    handle->stats_open = true;
    return handle;
}

void close_geom_stats(std::unique_ptr<GeomStatsHandle>& handle)
{
    if (handle == nullptr)
        return;
    if (handle->stats_open)
        geom_stats_close();
    if (handle->tree_loaded)
        geom_deletetree(&handle->mesh);
    handle.reset();
}

bool read_disk_samples(GeomStatsHandle& handle, std::vector<DiskSample>& disks)
{
    disks.clear();
    if (!handle.ready)
        return false;
    if (!refresh_if_stale(handle))
        return false;
    void* snapshot = geom_stats_snapshot_get();
    if (snapshot == nullptr)
        return false;
    geom_stats_snapshot_reset(snapshot);

    while (const struct devstat* record = geom_stats_snapshot_next(snapshot)) {
        if (record->id == nullptr)
            continue;
        struct gident* entry = nullptr;
        if (!find_in_tree(handle, record->id, entry)) {
            geom_stats_snapshot_free(snapshot);
            return false;
        }
        if (entry == nullptr || entry->lg_what != gident::ISPROVIDER)
            continue;
        const auto* provider = static_cast<const struct gprovider*>(entry->lg_ptr);
        // Only geoms that consume nothing are disks; partitions and labels sit higher.
        if (provider->lg_geom->lg_rank != 1)
            continue;
        // Unequal sequence numbers: the kernel was updating the record as it was copied.
        if (record->sequence0 != record->sequence1)
            continue;
        disks.push_back(DiskSample{
            provider->lg_name,
            record->bytes[DEVSTAT_READ],
            record->bytes[DEVSTAT_WRITE],
            record->operations[DEVSTAT_READ],
            record->operations[DEVSTAT_WRITE],
            static_cast<double>(record->busy_time.sec) +
                static_cast<double>(record->busy_time.frac) * seconds_per_bintime_fraction,
        });
    }
    geom_stats_snapshot_free(snapshot);
    return true;
}
