#include "fake_geom.hpp"

#include <errno.h>
#include <libgeom.h>

#include <deque>

#include "fake_kernel.hpp"

namespace fake_geom {
namespace {

// A provider or consumer of the kernel's tree, with its geom. Its address in
// the kernel's list is its identity; a copy of the tree has copies of it.
struct Object {
    std::string name;
    struct ggeom geom {};
    struct gprovider provider {};
    struct gconsumer consumer {};
    bool is_consumer = false;
};

struct Snapshot {
    std::vector<struct devstat> records;
    std::size_t next = 0;
};

struct Tree {
    std::deque<Object> objects;
    std::vector<struct gident> index;
};

struct State {
    std::deque<Object> objects;
    std::deque<std::vector<struct devstat>> sets;
    std::vector<struct devstat> attached;  // since the last resync
    bool stats_open = false;
    long generation = 1;
    std::deque<Tree> trees;  // kept until reset
} state;

// The pointers of an object's records into the object itself.
void link(Object& object, const void* id)
{
    object.provider.lg_id = object.consumer.lg_id = const_cast<void*>(id);
    object.provider.lg_name = object.name.data();
    object.provider.lg_geom = object.consumer.lg_geom = &object.geom;
}

Object& add_object(const std::string& name, unsigned rank, bool is_consumer)
{
    Object& added = state.objects.emplace_back(Object{name});
    added.geom.lg_rank = rank;
    added.is_consumer = is_consumer;
    link(added, &added);
    return added;
}

}  // namespace

Kernel kernel;

void reset()
{
    kernel = Kernel{};
    state = State{};
    fake_kernel::set_named_value("kern.devstat.generation", state.generation);
}

const void* add_provider(const std::string& name, unsigned rank)
{
    return &add_object(name, rank, false);
}

const void* add_consumer()
{
    return &add_object("consumer", 2, true);
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

void reuse(const void* freed, const std::string& name, unsigned rank)
{
    for (Object& object : state.objects)
        if (&object == freed) {
            object = Object{name};
            object.geom.lg_rank = rank;
            link(object, &object);
        }
    fake_kernel::set_named_value("kern.devstat.generation", state.generation += 2);
}

void queue_snapshot(std::vector<struct devstat> records)
{
    state.sets.push_back(std::move(records));
}

void attach(const struct devstat& added)
{
    state.attached.push_back(added);
    fake_kernel::set_named_value("kern.devstat.generation", ++state.generation);
}

}  // namespace fake_geom

using namespace fake_geom;

extern "C" int geom_gettree(struct gmesh* mesh)
{
    ++kernel.gettree_calls;
    *mesh = gmesh{};
    if (kernel.gettree_error != 0)
        return kernel.gettree_error;
    Tree& tree = state.trees.emplace_back();
    for (Object& object : state.objects) {
        Object& copy = tree.objects.emplace_back(object);
        link(copy, &object);
        tree.index.push_back(copy.is_consumer
                                 ? gident{&object, &copy.consumer, gident::ISCONSUMER}
                                 : gident{&object, &copy.provider, gident::ISPROVIDER});
    }
    tree.index.emplace_back();  // a null id ends the list
    mesh->lg_ident = tree.index.data();
    return 0;
}

extern "C" void geom_deletetree(struct gmesh* mesh)
{
    ++kernel.deletetree_calls;
    mesh->lg_ident = nullptr;
}

// One open per process.
extern "C" int geom_stats_open(void)
{
    if (state.stats_open)
        return EBUSY;
    if (kernel.stats_open_error != 0)
        return kernel.stats_open_error;
    state.stats_open = true;
    return 0;
}

extern "C" void geom_stats_close(void)
{
    ++kernel.stats_close_calls;
    state.stats_open = false;
}

extern "C" void geom_stats_resync(void)
{
    ++kernel.resync_calls;
    if (state.sets.empty())
        state.sets.emplace_back();
    for (std::vector<struct devstat>& set : state.sets)
        set.insert(set.end(), state.attached.begin(), state.attached.end());
    state.attached.clear();
}

extern "C" void* geom_stats_snapshot_get(void)
{
    auto* snapshot =
        new Snapshot{state.sets.empty() ? std::vector<struct devstat>{} : state.sets.front()};
    if (state.sets.size() > 1)
        state.sets.pop_front();
    return snapshot;
}

extern "C" void geom_stats_snapshot_free(void* snapshot)
{
    delete static_cast<Snapshot*>(snapshot);
}

extern "C" void geom_stats_snapshot_reset(void* snapshot)
{
    static_cast<Snapshot*>(snapshot)->next = 0;
}

extern "C" struct devstat* geom_stats_snapshot_next(void* snapshot)
{
    auto& taken = *static_cast<Snapshot*>(snapshot);
    return taken.next < taken.records.size() ? &taken.records[taken.next++] : nullptr;
}
