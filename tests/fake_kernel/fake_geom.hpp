#pragma once

#include <sys/types.h>
#include <sys/devicestat.h>

#include <cstdint>
#include <string>
#include <vector>

// A programmable libgeom for unit tests: the GEOM tree that geom_gettree
// copies and the statistics snapshots it hands out are set by each test.
namespace fake_geom {

// The failures to inject, and what was done to the fake.
struct Kernel {
    int gettree_error = 0;     // geom_gettree fails with it while not 0
    int stats_open_error = 0;  // geom_stats_open fails with it while not 0
    int gettree_calls = 0;
    int deletetree_calls = 0;
    int stats_close_calls = 0;
};
extern Kernel kernel;

// Forgets the providers, the snapshots, the failures and the counts.
void reset();

// Adds a provider of a geom of rank `rank` to the tree a later geom_gettree
// copies. Returns the provider's identity.
const void* add_provider(const std::string& name, unsigned rank);

// A consistent statistics record for `id` with the given counters.
struct devstat record(const void* id, std::uint64_t read_bytes = 0, std::uint64_t write_bytes = 0,
                      std::uint64_t read_ops = 0, std::uint64_t write_ops = 0);

// Queues the records of the next snapshot; the last one queued repeats.
void queue_snapshot(std::vector<struct devstat> records);

}  // namespace fake_geom
