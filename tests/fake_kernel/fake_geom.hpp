#pragma once

#include <sys/types.h>
#include <sys/devicestat.h>

#include <cstdint>
#include <string>
#include <vector>

// A programmable libgeom for unit tests: the GEOM tree that geom_gettree
// copies, and the statistics records a snapshot copies. As FreeBSD's mapping
// of the records, a snapshot sees a record attached since the statistics were
// opened or last resynced only after the next resync; every attach moves
// "kern.devstat.generation", which the fake sysctl answers (until
// fake_kernel::reset forgets it).
namespace fake_geom {

// The failures to inject, and what was done to the fake.
struct Kernel {
    int gettree_error = 0;     // geom_gettree fails with it while not 0
    int stats_open_error = 0;  // geom_stats_open fails with it while not 0
    int gettree_calls = 0;
    int deletetree_calls = 0;
    int stats_close_calls = 0;
    int resync_calls = 0;
};
extern Kernel kernel;

// Forgets the providers, the records, the failures and the counts.
void reset();

// Adds a provider of a geom of rank `rank`, or a consumer, to the tree a later
// geom_gettree copies. Returns its identity, which its records carry.
const void* add_provider(const std::string& name, unsigned rank);
const void* add_consumer();

// A consistent statistics record for `id` with the given counters.
struct devstat record(const void* id, std::uint64_t read_bytes = 0, std::uint64_t write_bytes = 0,
                      std::uint64_t read_ops = 0, std::uint64_t write_ops = 0);

// The records of successive snapshots: the first set queued is seen at once,
// each later one by the snapshot after the one that saw the set before. The
// last one stays.
void queue_snapshot(std::vector<struct devstat> records);
// A record the kernel adds, seen from the next resync on.
void attach(const struct devstat& added);
// The object at `freed` detached and its address given to a new provider
// (the generation moves twice); a tree copied before still has the old one.
void reuse(const void* freed, const std::string& name, unsigned rank);

}  // namespace fake_geom
