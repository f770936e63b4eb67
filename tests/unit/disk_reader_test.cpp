#include <errno.h>
#include <sys/types.h>
#include <sys/devicestat.h>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "collect/disk_samples.hpp"
#include "fake_geom.hpp"
#include "fake_kernel.hpp"

namespace {

using namespace fake_geom;

struct DiskReader : ::testing::Test {
    void SetUp() override
    {
        reset();
    }
    // Left over from an earlier reading: every reading starts by emptying it.
    std::vector<DiskSample> disks{DiskSample{"stale", 1, 2, 3, 4, 5.0}};
};

std::string names(const std::vector<DiskSample>& disks)
{
    std::string text;
    for (const DiskSample& disk : disks)
        text += disk.name + " ";
    return text;
}

TEST_F(DiskReader, ADiskWithThreePartitionsIsOneSample)
{
    const void* disk = add_provider("ada0", 1);
    std::vector<struct devstat> records{record(nullptr, 99), record(disk, 4096, 8192, 3, 5)};
    records[1].busy_time = bintime{3, std::uint64_t{1} << 63};
    for (const char* partition : {"ada0p1", "ada0p2", "ada0p3"})
        records.push_back(record(add_provider(partition, 2), 10));
    records.push_back(record(add_consumer()));  // the partition table's, in no need of a reload
    queue_snapshot(records);
    auto handle = open_geom_stats();

    ASSERT_TRUE(read_disk_samples(*handle, disks));
    ASSERT_EQ(disks.size(), 1u);
    const DiskSample& d = disks[0];
    EXPECT_EQ(fmt::format("{} {} {} {} {} {} {}", d.name, d.read_bytes, d.write_bytes, d.read_ops,
                          d.write_ops, d.busy_seconds, kernel.gettree_calls),
              "ada0 4096 8192 3 5 3.5 1");
    close_geom_stats(handle);
}

TEST_F(DiskReader, LaterDiskFoundByOneReloadAndTornRecordMissingFromOneReading)
{
    const void* ada0 = add_provider("ada0", 1);
    auto handle = open_geom_stats();
    const void* da0 = add_provider("da0", 1);
    struct devstat torn = record(ada0);
    ++torn.sequence1;  // copied while the kernel was updating it
    queue_snapshot({torn, record(da0)});
    queue_snapshot({record(ada0), record(da0)});

    ASSERT_TRUE(read_disk_samples(*handle, disks));
    EXPECT_EQ(names(disks) + std::to_string(kernel.gettree_calls), "da0 2");
    ASSERT_TRUE(read_disk_samples(*handle, disks));
    EXPECT_EQ(names(disks) + std::to_string(kernel.gettree_calls), "ada0 da0 2");
    close_geom_stats(handle);
}

TEST_F(DiskReader, StatisticsThatFailToOpenAreSaidOnceGiveNoReadingAndTheTreeIsFreed)
{
    queue_snapshot({record(add_provider("ada0", 1))});
    kernel.stats_open_error = ENOENT;
    testing::internal::CaptureStderr();
    auto handle = open_geom_stats();
    EXPECT_FALSE(read_disk_samples(*handle, disks));
    EXPECT_FALSE(read_disk_samples(*handle, disks));
    // Once, naming what is missing and why, as a jail hiding it would see it.
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "cannot open /proc/diskstats: No such file or directory; the disk families are "
              "left out\n");
    EXPECT_TRUE(disks.empty());
    close_geom_stats(handle);
    EXPECT_EQ(kernel.stats_close_calls, 0);
    EXPECT_EQ(kernel.deletetree_calls, 1);
}

TEST_F(DiskReader, AFailedReloadEndsAllReadingsAndIsNotUndoneTwice)
{
    const void* ada0 = add_provider("ada0", 1);
    const void* ada1 = add_provider("ada1", 1);
    auto handle = open_geom_stats();
    queue_snapshot({record(ada0), record(add_provider("da0", 1)), record(ada1)});
    kernel.gettree_error = ENOMEM;
    EXPECT_FALSE(read_disk_samples(*handle, disks));
    EXPECT_EQ(names(disks), "ada0 ");  // what came before the failing record
    kernel.gettree_error = 0;          // no later reading retries
    EXPECT_FALSE(read_disk_samples(*handle, disks));
    EXPECT_EQ(names(disks) + std::to_string(kernel.gettree_calls), "2");
    close_geom_stats(handle);
    EXPECT_EQ(kernel.stats_close_calls, 1);
    EXPECT_EQ(kernel.deletetree_calls, 1);
}

// A disk attached after opening is seen once the statistics are resynced,
// which they are when the generation moved, and only then; without a
// generation to compare, at every reading.
TEST_F(DiskReader, ADiskAttachedAfterOpeningIsReadOnceTheStatisticsAreResynced)
{
    queue_snapshot({record(add_provider("ada0", 1), 10)});
    auto handle = open_geom_stats();
    ASSERT_TRUE(read_disk_samples(*handle, disks));
    EXPECT_EQ(names(disks) + std::to_string(kernel.resync_calls), "ada0 0");
    attach(record(add_provider("da0", 1), 30));
    for (const char* expected : {"ada0 da0 1", "ada0 da0 1"}) {
        ASSERT_TRUE(read_disk_samples(*handle, disks));
        EXPECT_EQ(names(disks) + std::to_string(kernel.resync_calls), expected);
    }
    fake_kernel::reset();
    ASSERT_TRUE(read_disk_samples(*handle, disks));
    ASSERT_TRUE(read_disk_samples(*handle, disks));
    EXPECT_EQ(kernel.resync_calls, 3);
    close_geom_stats(handle);
}

// A device detached leaves its addresses to the next objects the kernel makes,
// and a tree copied before still names them. The new disk must be read under
// its own name, whatever the old object at its address was.
TEST_F(DiskReader, ADiskAtTheAddressOfADetachedObjectIsReadUnderItsOwnName)
{
    const struct {
        const char* was;
        const char* name;
        unsigned rank;
    } cases[] = {{"a consumer", "", 0}, {"a partition", "md0p1", 2}, {"a disk", "md0", 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.was);
        reset();
        const void* ada0 = add_provider("ada0", 1);
        const void* old = c.rank == 0 ? add_consumer() : add_provider(c.name, c.rank);
        queue_snapshot({record(ada0), record(old)});
        queue_snapshot({record(ada0), record(old, 512)});
        auto handle = open_geom_stats();
        ASSERT_TRUE(read_disk_samples(*handle, disks));
        reuse(old, "md1", 1);
        ASSERT_TRUE(read_disk_samples(*handle, disks));
        EXPECT_EQ(names(disks) + std::to_string(disks.back().read_bytes), "ada0 md1 512");
        close_geom_stats(handle);
    }
}

}  // namespace
