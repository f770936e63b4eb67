#include "fake_geom.hpp"

#include <errno.h>
#include <libgeom.h>

#include <algorithm>
#include <array>
#include <deque>

#include "fake_kernel.hpp"

namespace fake_geom {
namespace {

// A provider or consumer of the kernel's tree, with its geom; every copy of
// the tree points to it. Its address is its identity.
struct Object {
    std::string name;
    struct ggeom geom {};
    struct gprovider provider {};
    struct gconsumer consumer {};
    bool is_consumer = false;
};

using Page = std::array<struct devstat, records_per_page>;

// A copy of the mapped pages, walked as libgeom walks its own.
struct Snapshot {
    std::vector<struct devstat> slots;
    std::size_t pages = 0;
    std::size_t page = 0;
    std::size_t slot = 0;
};

struct State {
    std::deque<Object> objects;
    std::deque<Page> pages = std::deque<Page>(1);  // the kernel always has one
    std::size_t mapped_pages = 0;
    bool stats_open = false;
    long generation = 1;
    std::deque<std::vector<struct devstat>> scripted;
    bool scripted_front_read = false;
    std::deque<std::vector<struct gident>> trees;  // each copy's index, kept until reset
} state;

void move_generation()
{
    ++state.generation;
    fake_kernel::set_named_value("kern.devstat.generation", state.generation);
}

struct devstat& slot_at(std::size_t index)
{
    while (index >= state.pages.size() * records_per_page)
        state.pages.emplace_back();
    return state.pages[index / records_per_page][index % records_per_page];
}

// Record i of `records` into slot i, every later slot freed.
void lay_out(const std::vector<struct devstat>& records)
{
    bool changed = false;
    const std::size_t slots = std::max(records.size(), state.pages.size() * records_per_page);
    for (std::size_t index = 0; index < slots; ++index) {
        struct devstat& slot = slot_at(index);
        struct devstat wanted {};
        if (index < records.size()) {
            wanted = records[index];
            wanted.allocated = 1;
        }
        changed = changed || slot.id != wanted.id || slot.allocated != wanted.allocated;
        slot = wanted;
    }
    if (changed)
        move_generation();
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
    Object& added = state.objects.emplace_back(Object{name});
    added.geom.lg_rank = rank;
    added.provider.lg_id = &added;
    added.provider.lg_name = added.name.data();
    added.provider.lg_geom = &added.geom;
    return &added;
}

const void* add_consumer()
{
    Object& added = state.objects.emplace_back(Object{"consumer"});
    added.geom.lg_rank = 2;
    added.consumer.lg_id = &added;
    added.consumer.lg_geom = &added.geom;
    added.is_consumer = true;
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

struct devstat& attach(const struct devstat& added)
{
    std::size_t index = 0;
    while (index < state.pages.size() * records_per_page && slot_at(index).allocated != 0)
        ++index;
    struct devstat& slot = slot_at(index);
    slot = added;
    slot.allocated = 1;
    move_generation();
    return slot;
}

void detach(struct devstat& slot)
{
    slot = devstat{};
    move_generation();
}

std::size_t page_count()
{
    return state.pages.size();
}

void queue_snapshot(std::vector<struct devstat> records)
{
    state.scripted.push_back(std::move(records));
    if (state.scripted.size() == 1)
        lay_out(state.scripted.front());
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
    for (Object& object : state.objects) {
        if (object.is_consumer)
            tree.push_back(gident{&object, &object.consumer, gident::ISCONSUMER});
        else
            tree.push_back(gident{&object, &object.provider, gident::ISPROVIDER});
    }
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

// One open per process; opening maps every page there is.
extern "C" int geom_stats_open(void)
{
    if (state.stats_open)
        return EBUSY;
    if (kernel.stats_open_error != 0)
        return kernel.stats_open_error;
    state.stats_open = true;
    state.mapped_pages = state.pages.size();
    return 0;
}

extern "C" void geom_stats_close(void)
{
    ++kernel.stats_close_calls;
    state.stats_open = false;
    state.mapped_pages = 0;
}

extern "C" void geom_stats_resync(void)
{
    ++kernel.resync_calls;
    if (state.stats_open)
        state.mapped_pages = state.pages.size();
}

extern "C" void* geom_stats_snapshot_get(void)
{
    if (state.scripted_front_read && state.scripted.size() > 1) {
        state.scripted.pop_front();
        lay_out(state.scripted.front());
    }
    state.scripted_front_read = !state.scripted.empty();

    auto* snapshot = new Snapshot;
    snapshot->pages = state.mapped_pages;
    for (std::size_t page = 0; page < state.mapped_pages; ++page)
        snapshot->slots.insert(snapshot->slots.end(), state.pages[page].begin(),
                               state.pages[page].end());
    return snapshot;
}

extern "C" void geom_stats_snapshot_free(void* snapshot)
{
    delete static_cast<Snapshot*>(snapshot);
}

extern "C" void geom_stats_snapshot_reset(void* snapshot)
{
    auto& taken = *static_cast<Snapshot*>(snapshot);
    taken.page = taken.slot = 0;
}

// Steps past the slot before handing it out, and stops when the step leaves
// the last page: that page's last slot is never handed out.
extern "C" struct devstat* geom_stats_snapshot_next(void* snapshot)
{
    auto& taken = *static_cast<Snapshot*>(snapshot);
    if (taken.page >= taken.pages)
        return nullptr;
    struct devstat* slot = &taken.slots[taken.page * records_per_page + taken.slot];
    if (++taken.slot >= records_per_page) {
        if (++taken.page >= taken.pages)
            return nullptr;
        taken.slot = 0;
    }
    return slot;
}
