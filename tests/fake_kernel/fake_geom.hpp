#pragma once

#include <sys/types.h>
#include <sys/devicestat.h>

#include <cstdint>
#include <string>
#include <vector>

// A programmable libgeom for unit tests: the GEOM tree that geom_gettree
// copies and the statistics snapshots it hands out are set by each test.
namespace fake_geom {

// Forgets the tree, the snapshots, the failures and the counts; closes the
// statistics.
void reset();

// Adds a provider of a geom of rank `rank` to the kernel's tree: a later
// geom_gettree copies it. Returns the provider's identity.
const void* add_provider(const std::string& name, unsigned rank);

// A consistent statistics record for `id` with the given counters.
struct devstat record(const void* id, std::uint64_t read_bytes = 0, std::uint64_t write_bytes = 0,
                      std::uint64_t read_ops = 0, std::uint64_t write_ops = 0);

// Queues the records of the next snapshot. Snapshots are handed out in the
// order queued; the last one is repeated once the queue runs dry. With
// nothing queued, every snapshot is empty.
void queue_snapshot(std::vector<struct devstat> records);
// Makes geom_stats_snapshot_get return null (out of memory).
void fail_snapshots();

// Makes every later geom_gettree fail with `error` (0: succeed again).
void set_gettree_error(int error);
// Makes geom_stats_open fail with `error`.
void set_stats_open_error(int error);

struct Counts {
    int gettree = 0;
    int deletetree = 0;
    int stats_open = 0;
    int stats_close = 0;
    int snapshots_taken = 0;
    int snapshots_freed = 0;
    int live_trees = 0;  // loaded and not yet deleted
    // Calls libgeom would crash on or that free a tree twice: deleting a tree
    // that is already gone, looking up in a deleted or failed tree.
    int misuses = 0;
};
const Counts& counts();

}  // namespace fake_geom
