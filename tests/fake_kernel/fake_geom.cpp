#include "fake_geom.hpp"

#include <libgeom.h>

#include <deque>

namespace fake_geom {
namespace {

// A provider of the kernel's tree, with its geom; every copy of the tree
// points to it. Its address is its identity.
struct Provider {
    std::string name;
    struct ggeom geom {};
    struct gprovider provider {};
};

using Records = std::vector<struct devstat>;

struct Snapshot {
    Records records;
    size_t position = 0;
};

struct State {
    std::deque<Provider> providers;
    std::deque<Records> snapshots;
    std::deque<std::vector<struct gident>> trees;  // each copy's index, kept until reset
} state;

}  // namespace

Kernel kernel;

void reset()
{
    kernel = Kernel{};
    state = State{};
}

const void* add_provider(const std::string& name, unsigned rank)
{
    Provider& added = state.providers.emplace_back(Provider{name});
    added.geom.lg_rank = rank;
    added.provider.lg_id = &added;
    added.provider.lg_name = added.name.data();
    added.provider.lg_geom = &added.geom;
    return &added;
}

struct devstat record(const void* id, std::uint64_t read_bytes, std::uint64_t write_bytes,
                      std::uint64_t read_ops, std::uint64_t write_ops)
{
    struct devstat result {};
    result.sequence0 = result.sequence1 = 7;
    result.id = id;
    result.bytes[DEVSTAT_READ] = read_bytes;
    result.bytes[DEVSTAT_WRITE] = write_bytes;
    result.operations[DEVSTAT_READ] = read_ops;
    result.operations[DEVSTAT_WRITE] = write_ops;
    return result;
}

void queue_snapshot(std::vector<struct devstat> records)
{
    state.snapshots.push_back(std::move(records));
}

}  // namespace fake_geom

using namespace fake_geom;

extern "C" int geom_gettree(struct gmesh* mesh)
{
    ++kernel.gettree_calls;
    *mesh = gmesh{};
    if (kernel.gettree_error != 0)
        return kernel.gettree_error;
    std::vector<struct gident>& tree = state.trees.emplace_back();
    for (Provider& source : state.providers)
        tree.push_back(gident{&source, &source.provider, gident::ISPROVIDER});
    tree.emplace_back();  // a null id ends the list
    mesh->lg_ident = tree.data();
    return 0;
}

extern "C" void geom_deletetree(struct gmesh* mesh)
{
    ++kernel.deletetree_calls;
    mesh->lg_ident = nullptr;
}

extern "C" struct gident* geom_lookupid(struct gmesh* mesh, const void* id)
{
    for (struct gident* entry = mesh->lg_ident; entry && entry->lg_id != nullptr; ++entry)
        if (entry->lg_id == id)
            return entry;
    return nullptr;
}

extern "C" int geom_stats_open(void)
{
    return kernel.stats_open_error;
}

extern "C" void geom_stats_close(void)
{
    ++kernel.stats_close_calls;
}

extern "C" void* geom_stats_snapshot_get(void)
{
    auto* snapshot = new Snapshot{state.snapshots.empty() ? Records{} : state.snapshots.front()};
    if (state.snapshots.size() > 1)
        state.snapshots.pop_front();
    return snapshot;
}

extern "C" void geom_stats_snapshot_free(void* snapshot)
{
    delete static_cast<Snapshot*>(snapshot);
}

// A snapshot is handed out rewound already.
extern "C" void geom_stats_snapshot_reset(void*) {}

extern "C" struct devstat* geom_stats_snapshot_next(void* snapshot)
{
    auto& taken = *static_cast<Snapshot*>(snapshot);
    return taken.position < taken.records.size() ? &taken.records[taken.position++] : nullptr;
}
