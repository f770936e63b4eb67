#include "fake_geom.hpp"

#include <errno.h>
#include <libgeom.h>

#include <deque>
#include <map>
#include <memory>

namespace fake_geom {
namespace {

struct KernelProvider {
    std::string name;
    unsigned rank;
    std::unique_ptr<char> identity;  // its address is the provider's id
};

// One copy of the tree as geom_gettree hands it out.
struct Tree {
    struct gclass disk_class {};
    std::vector<std::unique_ptr<struct ggeom>> geoms;
    std::vector<std::unique_ptr<struct gprovider>> providers;
    std::vector<std::string> names;
    std::vector<struct gident> idents;
};

struct State {
    std::vector<KernelProvider> providers;
    std::deque<std::vector<struct devstat>> snapshots;
    bool snapshots_fail = false;
    int gettree_error = 0;
    int stats_open_error = 0;
    bool stats_open = false;
    std::map<const struct gident*, std::unique_ptr<Tree>> trees;
    Counts counts;
};

State& state()
{
    static State instance;
    return instance;
}

struct Snapshot {
    std::vector<struct devstat> records;
    size_t position = 0;
};

}  // namespace

void reset()
{
    state() = State{};
}

const void* add_provider(const std::string& name, unsigned rank)
{
    state().providers.push_back(KernelProvider{name, rank, std::make_unique<char>()});
    return state().providers.back().identity.get();
}

struct devstat record(const void* id, std::uint64_t read_bytes, std::uint64_t write_bytes,
                      std::uint64_t read_ops, std::uint64_t write_ops)
{
    struct devstat result {};
    result.sequence0 = 7;
    result.sequence1 = 7;
    result.id = id;
    result.bytes[DEVSTAT_READ] = read_bytes;
    result.bytes[DEVSTAT_WRITE] = write_bytes;
    result.operations[DEVSTAT_READ] = read_ops;
    result.operations[DEVSTAT_WRITE] = write_ops;
    return result;
}

void queue_snapshot(std::vector<struct devstat> records)
{
    state().snapshots.push_back(std::move(records));
}

void fail_snapshots()
{
    state().snapshots_fail = true;
}

void set_gettree_error(int error)
{
    state().gettree_error = error;
}

void set_stats_open_error(int error)
{
    state().stats_open_error = error;
}

const Counts& counts()
{
    return state().counts;
}

}  // namespace fake_geom

using fake_geom::state;

extern "C" int geom_gettree(struct gmesh* mesh)
{
    ++state().counts.gettree;
    *mesh = gmesh{};
    if (state().gettree_error != 0)
        return state().gettree_error;
    auto tree = std::make_unique<fake_geom::Tree>();
    tree->names.reserve(state().providers.size());
    for (const fake_geom::KernelProvider& kernel : state().providers) {
        auto geom = std::make_unique<struct ggeom>();
        geom->lg_class = &tree->disk_class;
        geom->lg_rank = kernel.rank;
        auto provider = std::make_unique<struct gprovider>();
        tree->names.push_back(kernel.name);
        provider->lg_id = kernel.identity.get();
        provider->lg_name = tree->names.back().data();
        provider->lg_geom = geom.get();
        tree->idents.push_back(gident{geom.get(), geom.get(), gident::ISGEOM});
        tree->idents.push_back(gident{provider->lg_id, provider.get(), gident::ISPROVIDER});
        tree->geoms.push_back(std::move(geom));
        tree->providers.push_back(std::move(provider));
    }
    tree->idents.push_back(gident{nullptr, nullptr, gident::ISCLASS});
    mesh->lg_ident = tree->idents.data();
    state().trees[mesh->lg_ident] = std::move(tree);
    ++state().counts.live_trees;
    return 0;
}

extern "C" void geom_deletetree(struct gmesh* mesh)
{
    ++state().counts.deletetree;
    if (mesh->lg_ident != nullptr) {
        if (state().trees.erase(mesh->lg_ident) == 1)
            --state().counts.live_trees;
        else
            ++state().counts.misuses;
    }
    mesh->lg_ident = nullptr;
}

extern "C" struct gident* geom_lookupid(struct gmesh* mesh, const void* id)
{
    if (mesh->lg_ident == nullptr || state().trees.count(mesh->lg_ident) == 0) {
        ++state().counts.misuses;
        return nullptr;
    }
    for (struct gident* entry = mesh->lg_ident; entry->lg_id != nullptr; ++entry)
        if (entry->lg_id == id)
            return entry;
    return nullptr;
}

extern "C" int geom_stats_open(void)
{
    ++state().counts.stats_open;
    if (state().stats_open)
        return EBUSY;
    if (state().stats_open_error != 0)
        return state().stats_open_error;
    state().stats_open = true;
    return 0;
}

extern "C" void geom_stats_close(void)
{
    ++state().counts.stats_close;
    state().stats_open = false;
}

extern "C" void geom_stats_resync(void) {}

extern "C" void* geom_stats_snapshot_get(void)
{
    if (!state().stats_open || state().snapshots_fail)
        return nullptr;
    auto* snapshot = new fake_geom::Snapshot;
    if (!state().snapshots.empty()) {
        snapshot->records = state().snapshots.front();
        if (state().snapshots.size() > 1)
            state().snapshots.pop_front();
    }
    ++state().counts.snapshots_taken;
    return snapshot;
}

extern "C" void geom_stats_snapshot_free(void* snapshot)
{
    ++state().counts.snapshots_freed;
    delete static_cast<fake_geom::Snapshot*>(snapshot);
}

extern "C" void geom_stats_snapshot_timestamp(void*, struct timespec* when)
{
    *when = timespec{};
}

extern "C" void geom_stats_snapshot_reset(void* snapshot)
{
    static_cast<fake_geom::Snapshot*>(snapshot)->position = 0;
}

extern "C" struct devstat* geom_stats_snapshot_next(void* snapshot)
{
    auto* taken = static_cast<fake_geom::Snapshot*>(snapshot);
    if (taken->position == taken->records.size())
        return nullptr;
    return &taken->records[taken->position++];
}
