#pragma once

#include <sys/types.h>
#include <sys/devicestat.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A programmable libgeom for unit tests: the GEOM tree that geom_gettree
// copies, and the kernel's statistics records as FreeBSD keeps them: in pages
// of 14 records, free slots reused first, a page added when every slot is
// taken, pages never given back. A snapshot copies only the pages mapped when
// the statistics were opened or last resynced, and its walk never yields the
// last slot of the last page, as libgeom's does not. Every record added or
// removed moves "kern.devstat.generation", which the fake sysctl answers
// (until fake_kernel::reset forgets it).
namespace fake_geom {

// 4096-byte pages of 288-byte records, as on amd64.
constexpr std::size_t records_per_page = 4096 / sizeof(struct devstat);

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

// Adds a provider of a geom of rank `rank` to the tree a later geom_gettree
// copies. Returns the provider's identity.
const void* add_provider(const std::string& name, unsigned rank);
// Adds a consumer, as every geom above the bottom has, to that tree. Its
// statistics record carries the returned identity.
const void* add_consumer();

// A consistent statistics record for `id` with the given counters.
struct devstat record(const void* id, std::uint64_t read_bytes = 0, std::uint64_t write_bytes = 0,
                      std::uint64_t read_ops = 0, std::uint64_t write_ops = 0);

// Puts `added` in the first free slot, adding a page when none is free, and
// returns the slot, where its counters can be changed later.
struct devstat& attach(const struct devstat& added);
// Frees the slot, zeroing it as the kernel does.
void detach(struct devstat& slot);
// The kernel's pages so far.
std::size_t page_count();

// A scripted sequence of whole record sets, for readings that must differ
// from one to the next: the first set queued replaces the records at once,
// each later one when a snapshot has been taken of the one before. The last
// one stays. Record i of a set goes to slot i.
void queue_snapshot(std::vector<struct devstat> records);

}  // namespace fake_geom
