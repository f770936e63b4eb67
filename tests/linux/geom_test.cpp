#include <errno.h>
#include <stdio.h>
#include <sys/types.h>
#include <sys/devicestat.h>
#include <libgeom.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "collect/disk_samples.hpp"
#include "geom_identity.hpp"
#include "platform_files.hpp"

namespace {

const std::string base_root = KELMAR_FIXTURES "/geom/base";
const std::string attached_root = KELMAR_FIXTURES "/geom/attached";

std::map<std::string, const struct gprovider*> providers_of(struct gmesh& mesh)
{
    std::map<std::string, const struct gprovider*> providers;
    for (const struct gident* entry = mesh.lg_ident; entry->lg_id != nullptr; ++entry) {
        if (entry->lg_what != gident::ISPROVIDER)
            continue;
        const auto* provider = static_cast<const struct gprovider*>(entry->lg_ptr);
        EXPECT_EQ(provider->lg_id, entry->lg_id);
        EXPECT_EQ(geom_lookupid(&mesh, entry->lg_id), entry);
        providers[provider->lg_name] = provider;
    }
    return providers;
}

std::vector<std::string> consumed_by(const struct ggeom* geom)
{
    std::vector<std::string> names;
    const struct gconsumer* consumer;
    LIST_FOREACH(consumer, &geom->lg_consumer, lg_consumer)
    {
        names.push_back(consumer->lg_provider->lg_name);
    }
    return names;
}

struct devstat record_named(void* snapshot, const char* name)
{
    geom_stats_snapshot_reset(snapshot);
    while (const struct devstat* record = geom_stats_snapshot_next(snapshot))
        if (std::string(record->device_name) == name)
            return *record;
    ADD_FAILURE() << "no record for " << name;
    return {};
}

struct LinuxGeom : ::testing::Test {
    void TearDown() override
    {
        geom_stats_close();
        set_platform_root("/");
    }
};

TEST_F(LinuxGeom, TreeRanksDisksPartitionsAndStackedDevices)
{
    set_platform_root(base_root.c_str());
    struct gmesh mesh {};
    ASSERT_EQ(geom_gettree(&mesh), 0);
    auto providers = providers_of(mesh);
    ASSERT_EQ(providers.size(), 5u);  // loop0 has no media
    EXPECT_EQ(providers.count("loop0"), 0u);

    const struct gprovider* sda = providers["sda"];
    EXPECT_EQ(sda->lg_geom->lg_rank, 1u);
    EXPECT_STREQ(sda->lg_geom->lg_class->lg_name, "DISK");
    EXPECT_EQ(sda->lg_mediasize, 2097152 * 512);
    EXPECT_EQ(sda->lg_sectorsize, 4096u);
    for (const char* name : {"sda1", "sda2", "sda3"}) {
        const struct ggeom* table = providers[name]->lg_geom;
        EXPECT_EQ(table->lg_rank, 2u) << name;
        EXPECT_STREQ(table->lg_class->lg_name, "PART");
        EXPECT_EQ(table, providers["sda1"]->lg_geom);  // one table for all three
        EXPECT_EQ(consumed_by(table), std::vector<std::string>{"sda"});
    }
    const struct ggeom* mapped = providers["dm-0"]->lg_geom;
    EXPECT_EQ(mapped->lg_rank, 3u);
    EXPECT_STREQ(mapped->lg_class->lg_name, "DM");
    EXPECT_EQ(consumed_by(mapped), std::vector<std::string>{"sda2"});

    geom_deletetree(&mesh);
    EXPECT_EQ(mesh.lg_ident, nullptr);
    EXPECT_EQ(geom_lookupid(&mesh, sda), nullptr);
    geom_deletetree(&mesh);  // a deleted tree can be deleted again
}

TEST_F(LinuxGeom, IdentitiesSurviveReloadsAndANewDeviceGetsItsOwn)
{
    set_platform_root(base_root.c_str());
    struct gmesh first {};
    ASSERT_EQ(geom_gettree(&first), 0);
    set_platform_root(attached_root.c_str());
    struct gmesh second {};
    ASSERT_EQ(geom_gettree(&second), 0);

    auto before = providers_of(first);
    auto after = providers_of(second);
    for (const auto& [name, provider] : before)
        EXPECT_EQ(after[name]->lg_id, provider->lg_id) << name;
    std::set<const void*> ids;
    for (const auto& [name, provider] : after)
        ids.insert(provider->lg_id);
    EXPECT_EQ(ids.size(), after.size());
    EXPECT_EQ(after["sdb"]->lg_geom->lg_rank, 1u);
    EXPECT_EQ(geom_lookupid(&first, after["sdb"]->lg_id), nullptr);
    geom_deletetree(&first);
    geom_deletetree(&second);

    set_platform_root(KELMAR_FIXTURES "/geom/missing");
    struct gmesh failed {};
    EXPECT_EQ(geom_gettree(&failed), ENOENT);
    EXPECT_EQ(geom_lookupid(&failed, nullptr), nullptr);
    geom_deletetree(&failed);
}

TEST_F(LinuxGeom, ADeviceNumberTakenOverByAnotherDeviceGetsANewIdentity)
{
    const void* first = provider_identity(259, 7, "nvme0n1");
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(provider_identity(259, 7, "nvme0n1"), first);
    EXPECT_NE(provider_identity(259, 8, "nvme0n1"), first);
    const void* second = provider_identity(259, 7, "nvme1n1");
    EXPECT_NE(second, first);
    EXPECT_EQ(provider_identity(259, 7, "nvme1n1"), second);
}

TEST_F(LinuxGeom, ASnapshotHoldsOneRecordPerDiskstatsLine)
{
    set_platform_root(base_root.c_str());
    struct gmesh mesh {};
    ASSERT_EQ(geom_gettree(&mesh), 0);
    ASSERT_EQ(geom_stats_open(), 0);
    EXPECT_EQ(geom_stats_open(), EBUSY);

    void* snapshot = geom_stats_snapshot_get();
    ASSERT_NE(snapshot, nullptr);
    int count = 0;
    geom_stats_snapshot_reset(snapshot);
    while (geom_stats_snapshot_next(snapshot) != nullptr)
        ++count;
    EXPECT_EQ(count, 6);

    const struct devstat sda = record_named(snapshot, "sda");
    EXPECT_EQ(sda.id, providers_of(mesh)["sda"]->lg_id);
    EXPECT_EQ(sda.sequence0, sda.sequence1);
    EXPECT_EQ(sda.bytes[DEVSTAT_READ], 96000u * 512);
    EXPECT_EQ(sda.bytes[DEVSTAT_WRITE], 20480u * 512);
    EXPECT_EQ(sda.bytes[DEVSTAT_FREE], 4096u * 512);
    EXPECT_EQ(sda.operations[DEVSTAT_READ], 1200u);
    EXPECT_EQ(sda.operations[DEVSTAT_WRITE], 340u);
    EXPECT_EQ(sda.operations[DEVSTAT_FREE], 7u);
    EXPECT_EQ(sda.operations[DEVSTAT_NO_DATA], 25u);
    EXPECT_EQ(sda.busy_time.sec, 1);
    EXPECT_EQ(sda.busy_time.frac, std::uint64_t{1} << 63);  // 1500 ms
    EXPECT_EQ(record_named(snapshot, "loop0").id, nullptr);
    EXPECT_EQ(record_named(snapshot, "dm-0").start_count - record_named(snapshot, "dm-0").end_count,
              2u);
    geom_stats_snapshot_free(snapshot);
    geom_deletetree(&mesh);

    geom_stats_close();
    EXPECT_EQ(geom_stats_snapshot_get(), nullptr);
    EXPECT_EQ(geom_stats_open(), 0);  // closing ends the EBUSY
}

TEST_F(LinuxGeom, TheReaderTakesTheDiskAndLeavesTheRest)
{
    set_platform_root(base_root.c_str());
    auto handle = open_geom_stats();
    ASSERT_TRUE(handle->ready);
    std::vector<DiskSample> disks;
    ASSERT_TRUE(read_disk_samples(*handle, disks));
    ASSERT_EQ(disks.size(), 1u);
    EXPECT_EQ(disks[0].name, "sda");
    EXPECT_EQ(disks[0].read_bytes, 96000u * 512);
    EXPECT_EQ(disks[0].write_ops, 340u);
    EXPECT_EQ(disks[0].busy_seconds, 1.5);
    close_geom_stats(handle);
}

TEST_F(LinuxGeom, DevicesAttachedAfterTheTreeWasLoadedAreFoundByAReload)
{
    set_platform_root(base_root.c_str());
    auto handle = std::make_unique<GeomStatsHandle>();
    ASSERT_EQ(geom_gettree(&handle->mesh), 0);
    handle->tree_loaded = true;
    set_platform_root(attached_root.c_str());
    ASSERT_EQ(geom_stats_open(), 0);
    handle->stats_open = handle->ready = true;

    std::vector<DiskSample> disks;
    ASSERT_TRUE(read_disk_samples(*handle, disks));
    ASSERT_EQ(disks.size(), 3u);
    EXPECT_EQ(disks[0].name, "loop0");  // media inserted; its line has 11 counters
    EXPECT_EQ(disks[0].read_bytes, 64u * 512);
    EXPECT_EQ(disks[1].name, "sda");
    EXPECT_EQ(disks[2].name, "sdb");
    EXPECT_EQ(disks[2].read_ops, 50u);
    close_geom_stats(handle);
}

std::string run(const char* command)
{
    std::string output;
    FILE* pipe = popen(command, "r");
    if (pipe == nullptr)
        return output;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0)
        output.append(chunk, got);
    pclose(pipe);
    return output;
}

// lsblk's view of the whole devices that have media and are built on nothing.
std::set<std::string> lsblk_disks(std::set<std::string>& all_sized)
{
    std::set<std::string> disks;
    std::istringstream lines(run("lsblk -d -n -b -o KNAME,SIZE,TYPE 2>/dev/null"));
    std::string name;
    std::uint64_t size = 0;
    std::string type;
    while (lines >> name >> size >> type) {
        if (size == 0)
            continue;
        all_sized.insert(name);
        if (type == "disk" || type == "loop" || type == "rom")
            disks.insert(name);
    }
    return disks;
}

TEST_F(LinuxGeom, ThisMachinesDisksAreLsblksWholeDisks)
{
    std::set<std::string> lsblk_sized;
    const std::set<std::string> expected = lsblk_disks(lsblk_sized);
    if (lsblk_sized.empty())
        GTEST_SKIP() << "lsblk lists nothing here";

    set_platform_root("/");
    auto handle = open_geom_stats();
    ASSERT_TRUE(handle->ready);
    std::set<std::string> rank_one;
    std::set<std::string> all;
    for (const auto& [name, provider] : providers_of(handle->mesh)) {
        all.insert(name);
        if (provider->lg_geom->lg_rank == 1)
            rank_one.insert(name);
    }
    EXPECT_EQ(rank_one, expected);
    for (const std::string& name : lsblk_sized)
        EXPECT_EQ(all.count(name), 1u) << name;

    std::vector<DiskSample> disks;
    ASSERT_TRUE(read_disk_samples(*handle, disks));
    std::set<std::string> read;
    for (const DiskSample& disk : disks)
        read.insert(disk.name);
    EXPECT_EQ(read, rank_one);
    close_geom_stats(handle);
}

}  // namespace
