#include <sys/types.h>
#include <sys/devicestat.h>
#include <sys/sysctl.h>
#include <libgeom.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "collect/disk_samples.hpp"
#include "platform_files.hpp"

namespace {

std::vector<DiskSample> read_disks(const char* root)
{
    set_platform_root(root);
    auto handle = open_geom_stats();
    std::vector<DiskSample> disks;
    EXPECT_TRUE(handle->ready && read_disk_samples(*handle, disks)) << root;
    close_geom_stats(handle);
    set_platform_root("/");
    return disks;
}

// A disk with three partitions, a device-mapper device on the second and a loop
// device of size 0: only the disk is read. Then the loop device has media and
// its diskstats line the 11 counters of older kernels, and a second disk came.
TEST(LinuxGeom, FixtureTreesGiveTheWholeDisksAlone)
{
    std::vector<DiskSample> disks = read_disks(KELMAR_FIXTURES "/geom/base");
    ASSERT_EQ(disks.size(), 1u);
    EXPECT_EQ(disks[0].name, "sda");
    EXPECT_EQ(disks[0].read_bytes, 96000u * 512);
    EXPECT_EQ(disks[0].write_bytes, 20480u * 512);
    EXPECT_EQ(disks[0].read_ops, 1200u);
    EXPECT_EQ(disks[0].write_ops, 340u);
    EXPECT_EQ(disks[0].busy_seconds, 1.5);

    disks = read_disks(KELMAR_FIXTURES "/geom/attached");
    ASSERT_EQ(disks.size(), 3u);
    EXPECT_EQ(disks[0].name + disks[1].name + disks[2].name, "loop0sdasdb");
    EXPECT_EQ(disks[0].read_bytes, 64u * 512);
    EXPECT_EQ(disks[2].read_ops, 50u);
}

namespace fs = std::filesystem;

// A root of its own whose files are rewritten in place, as /proc's are, while
// the statistics stay open.
struct ScratchRoot {
    const fs::path path = fs::temp_directory_path() / ("kelmar-geom-" + std::to_string(getpid()));
    ~ScratchRoot()
    {
        set_platform_root("/");
        fs::remove_all(path);
    }
    // Renumbered devices leave nothing of their old /sys entries behind.
    void install(const fs::path& state, bool renumbered = false)
    {
        if (renumbered)
            fs::remove_all(path / "sys");
        fs::copy(state, path, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        set_platform_root(path.c_str());
    }
};

long devstat_generation()
{
    long generation = 0;
    size_t length = sizeof generation;
    EXPECT_EQ(sysctlbyname("kern.devstat.generation", &generation, &length, nullptr, 0), 0);
    EXPECT_EQ(length, sizeof generation);
    return generation;
}

std::string names(const std::vector<DiskSample>& disks)
{
    std::string listed;
    for (const DiskSample& disk : disks)
        listed += disk.name + "=" + std::to_string(disk.read_ops) + " ";
    return listed;
}

// Devices that come while the statistics are open are read by the same handle;
// the generation moves when devices come or go, and only then.
TEST(LinuxGeom, DevicesAttachedAfterOpeningAreReadByTheSameHandle)
{
    ScratchRoot root;
    root.install(KELMAR_FIXTURES "/geom/base");
    const long base = devstat_generation();
    auto handle = open_geom_stats();
    std::vector<DiskSample> disks;
    EXPECT_TRUE(read_disk_samples(*handle, disks));
    EXPECT_EQ(names(disks), "sda=1200 ");
    EXPECT_EQ(devstat_generation(), base);

    root.install(KELMAR_FIXTURES "/geom/attached");
    EXPECT_EQ(devstat_generation(), base + 1);
    EXPECT_TRUE(read_disk_samples(*handle, disks));
    EXPECT_EQ(names(disks), "loop0=4 sda=1300 sdb=50 ");
    EXPECT_EQ(devstat_generation(), base + 1);
    root.install(KELMAR_FIXTURES "/geom/base");
    EXPECT_EQ(devstat_generation(), base + 2);
    close_geom_stats(handle);
}

// NVMe numbers its devices on demand: with nvme0 gone, a partition made on
// nvme1n1 takes nvme0n1's number and a new nvme2n1 that of nvme0n1p1.
TEST(LinuxGeom, ADeviceNumberThatChangesHandsIsANewDevice)
{
    const fs::path fixture = KELMAR_FIXTURES "/geom/renumbered";
    ScratchRoot root;
    root.install(fixture / "before");
    auto handle = open_geom_stats();
    std::vector<DiskSample> disks;
    EXPECT_TRUE(handle->ready && read_disk_samples(*handle, disks));
    EXPECT_EQ(names(disks), "nvme0n1=10 nvme1n1=20 ");
    root.install(fixture / "after", true);
    EXPECT_TRUE(read_disk_samples(*handle, disks));
    EXPECT_EQ(names(disks), "nvme2n1=3 nvme1n1=27 ");
    close_geom_stats(handle);
}

}  // namespace
