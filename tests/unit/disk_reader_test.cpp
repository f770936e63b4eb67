#include <errno.h>
#include <sys/types.h>
#include <sys/devicestat.h>
#include <libgeom.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "collect/disk_samples.hpp"
#include "fake_geom.hpp"

namespace {

struct DiskReader : ::testing::Test {
    void SetUp() override
    {
        fake_geom::reset();
    }
    void TearDown() override
    {
        fake_geom::reset();
    }
};

std::vector<DiskSample> stale_list()
{
    return {DiskSample{"stale", 1, 2, 3, 4, 5.0}};
}

TEST_F(DiskReader, OnlyTheDiskUnderThePartitionsCounts)
{
    const void* disk = fake_geom::add_provider("ada0", 1);
    const void* p1 = fake_geom::add_provider("ada0p1", 2);
    const void* p2 = fake_geom::add_provider("ada0p2", 2);
    const void* p3 = fake_geom::add_provider("ada0p3", 2);
    fake_geom::queue_snapshot({fake_geom::record(nullptr, 99), fake_geom::record(p1, 10),
                               fake_geom::record(disk, 4096, 8192, 3, 5), fake_geom::record(p2, 20),
                               fake_geom::record(p3, 30)});
    auto handle = open_geom_stats();
    ASSERT_TRUE(handle->ready);

    std::vector<DiskSample> disks = stale_list();
    ASSERT_TRUE(read_disk_samples(*handle, disks));
    ASSERT_EQ(disks.size(), 1u);
    EXPECT_EQ(disks[0].name, "ada0");
    EXPECT_EQ(disks[0].read_bytes, 4096u);
    EXPECT_EQ(disks[0].write_bytes, 8192u);
    EXPECT_EQ(disks[0].read_ops, 3u);
    EXPECT_EQ(disks[0].write_ops, 5u);
    EXPECT_EQ(fake_geom::counts().gettree, 1);  // no reload for a null id
    EXPECT_EQ(fake_geom::counts().snapshots_freed, 1);

    close_geom_stats(handle);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(fake_geom::counts().stats_close, 1);
    EXPECT_EQ(fake_geom::counts().live_trees, 0);
    EXPECT_EQ(fake_geom::counts().misuses, 0);
}

TEST_F(DiskReader, ADiskAttachedLaterIsFoundThroughOneReload)
{
    const void* ada0 = fake_geom::add_provider("ada0", 1);
    auto handle = open_geom_stats();
    const void* da0 = fake_geom::add_provider("da0", 1);
    fake_geom::queue_snapshot({fake_geom::record(ada0, 1), fake_geom::record(da0, 2)});

    std::vector<DiskSample> disks;
    ASSERT_TRUE(read_disk_samples(*handle, disks));
    ASSERT_EQ(disks.size(), 2u);
    EXPECT_EQ(disks[1].name, "da0");
    EXPECT_EQ(disks[1].read_bytes, 2u);
    EXPECT_EQ(fake_geom::counts().gettree, 2);
    EXPECT_EQ(fake_geom::counts().deletetree, 1);

    ASSERT_TRUE(read_disk_samples(*handle, disks));
    EXPECT_EQ(disks.size(), 2u);
    EXPECT_EQ(fake_geom::counts().gettree, 2);  // the reloaded tree knows it now

    close_geom_stats(handle);
    EXPECT_EQ(fake_geom::counts().live_trees, 0);
    EXPECT_EQ(fake_geom::counts().misuses, 0);
}

TEST_F(DiskReader, AnIdUnknownEvenAfterAReloadIsSkipped)
{
    const void* ada0 = fake_geom::add_provider("ada0", 1);
    const char gone = 0;
    fake_geom::queue_snapshot({fake_geom::record(&gone, 1), fake_geom::record(ada0, 2)});
    auto handle = open_geom_stats();

    std::vector<DiskSample> disks;
    ASSERT_TRUE(read_disk_samples(*handle, disks));
    ASSERT_EQ(disks.size(), 1u);
    EXPECT_EQ(disks[0].name, "ada0");
    EXPECT_TRUE(handle->ready);
    close_geom_stats(handle);
}

TEST_F(DiskReader, ATornRecordIsLeftOutOfThatReadingOnly)
{
    const void* ada0 = fake_geom::add_provider("ada0", 1);
    const void* ada1 = fake_geom::add_provider("ada1", 1);
    struct devstat torn = fake_geom::record(ada1, 5);
    torn.sequence1 = torn.sequence0 + 1;
    fake_geom::queue_snapshot({fake_geom::record(ada0, 1), torn});
    fake_geom::queue_snapshot({fake_geom::record(ada0, 1), fake_geom::record(ada1, 6)});
    auto handle = open_geom_stats();

    std::vector<DiskSample> disks;
    ASSERT_TRUE(read_disk_samples(*handle, disks));
    ASSERT_EQ(disks.size(), 1u);
    EXPECT_EQ(disks[0].name, "ada0");

    ASSERT_TRUE(read_disk_samples(*handle, disks));
    ASSERT_EQ(disks.size(), 2u);
    EXPECT_EQ(disks[1].name, "ada1");
    EXPECT_EQ(disks[1].read_bytes, 6u);
    close_geom_stats(handle);
}

TEST_F(DiskReader, StatisticsThatFailToOpenGiveNoReadingButTheTreeIsFreed)
{
    const void* ada0 = fake_geom::add_provider("ada0", 1);
    fake_geom::queue_snapshot({fake_geom::record(ada0, 1)});
    fake_geom::set_stats_open_error(ENOENT);
    auto handle = open_geom_stats();
    EXPECT_FALSE(handle->ready);
    EXPECT_FALSE(handle->stats_open);
    EXPECT_TRUE(handle->tree_loaded);

    for (int reading = 0; reading < 2; ++reading) {
        std::vector<DiskSample> disks = stale_list();
        EXPECT_FALSE(read_disk_samples(*handle, disks));
        EXPECT_TRUE(disks.empty());
    }
    EXPECT_EQ(fake_geom::counts().snapshots_taken, 0);

    close_geom_stats(handle);
    EXPECT_EQ(fake_geom::counts().stats_close, 0);
    EXPECT_EQ(fake_geom::counts().deletetree, 1);
    EXPECT_EQ(fake_geom::counts().live_trees, 0);
}

TEST_F(DiskReader, NoSnapshotMeansNoReading)
{
    fake_geom::add_provider("ada0", 1);
    auto handle = open_geom_stats();
    fake_geom::fail_snapshots();
    std::vector<DiskSample> disks = stale_list();
    EXPECT_FALSE(read_disk_samples(*handle, disks));
    EXPECT_TRUE(disks.empty());
    EXPECT_TRUE(handle->ready);
    close_geom_stats(handle);
}

TEST_F(DiskReader, AFailedReloadEndsAllReadingsAndIsNotUndoneTwice)
{
    const void* ada0 = fake_geom::add_provider("ada0", 1);
    auto handle = open_geom_stats();
    const void* da0 = fake_geom::add_provider("da0", 1);
    const void* da1 = fake_geom::add_provider("da1", 1);
    fake_geom::queue_snapshot(
        {fake_geom::record(ada0, 1), fake_geom::record(da0, 2), fake_geom::record(da1, 3)});
    fake_geom::set_gettree_error(ENOMEM);

    std::vector<DiskSample> disks;
    EXPECT_FALSE(read_disk_samples(*handle, disks));
    ASSERT_EQ(disks.size(), 1u);  // what came before the failing record
    EXPECT_EQ(disks[0].name, "ada0");
    EXPECT_FALSE(handle->ready);
    EXPECT_FALSE(handle->tree_loaded);
    EXPECT_TRUE(handle->stats_open);
    EXPECT_EQ(fake_geom::counts().snapshots_freed, 1);

    fake_geom::set_gettree_error(0);  // no later reading retries
    EXPECT_FALSE(read_disk_samples(*handle, disks));
    EXPECT_TRUE(disks.empty());
    EXPECT_EQ(fake_geom::counts().gettree, 2);
    EXPECT_EQ(fake_geom::counts().snapshots_taken, 1);

    close_geom_stats(handle);
    EXPECT_EQ(fake_geom::counts().stats_close, 1);
    EXPECT_EQ(fake_geom::counts().deletetree, 1);
    EXPECT_EQ(fake_geom::counts().live_trees, 0);
    EXPECT_EQ(fake_geom::counts().misuses, 0);
}

TEST_F(DiskReader, BusyTimeFractionCountsInUnitsOfTwoToTheMinus64)
{
    const void* ada0 = fake_geom::add_provider("ada0", 1);
    struct devstat busy = fake_geom::record(ada0);
    busy.busy_time.sec = 3;
    busy.busy_time.frac = std::uint64_t{1} << 63;
    struct devstat almost = busy;
    almost.busy_time.sec = 0;
    almost.busy_time.frac = UINT64_MAX;
    fake_geom::queue_snapshot({busy, almost});
    auto handle = open_geom_stats();

    std::vector<DiskSample> disks;
    ASSERT_TRUE(read_disk_samples(*handle, disks));
    ASSERT_EQ(disks.size(), 2u);
    EXPECT_EQ(disks[0].busy_seconds, 3.5);
    EXPECT_EQ(disks[1].busy_seconds, 1.0);  // 2^64 - 1 rounds to 2^64
    close_geom_stats(handle);
}

}  // namespace
