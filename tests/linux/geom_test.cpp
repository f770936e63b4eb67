#include <stdio.h>
#include <unistd.h>
#include <sys/types.h>
#include <sys/devicestat.h>
#include <sys/sysctl.h>
#include <libgeom.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
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

long devstat_generation(const char* root)
{
    set_platform_root(root);
    long generation = 0;
    size_t length = sizeof generation;
    EXPECT_EQ(sysctlbyname("kern.devstat.generation", &generation, &length, nullptr, 0), 0);
    EXPECT_EQ(length, sizeof generation);
    set_platform_root("/");
    return generation;
}

// The generation moves when devices come or go, and only then.
TEST(LinuxGeom, DeviceGenerationMovesWithTheListOfDevices)
{
    const long base = devstat_generation(KELMAR_FIXTURES "/geom/base");
    EXPECT_EQ(devstat_generation(KELMAR_FIXTURES "/geom/base"), base);
    EXPECT_EQ(devstat_generation(KELMAR_FIXTURES "/geom/attached"), base + 1);
    EXPECT_EQ(devstat_generation(KELMAR_FIXTURES "/geom/attached"), base + 1);
    EXPECT_EQ(devstat_generation(KELMAR_FIXTURES "/geom/base"), base + 2);
}

// Devices that come while the statistics are open are read by the same handle.
TEST(LinuxGeom, DevicesAttachedAfterOpeningAreReadByTheSameHandle)
{
    namespace fs = std::filesystem;
    const fs::path root = fs::temp_directory_path() / ("kelmar-geom-" + std::to_string(getpid()));
    const auto options = fs::copy_options::recursive | fs::copy_options::overwrite_existing;
    fs::copy(KELMAR_FIXTURES "/geom/base", root, options);
    set_platform_root(root.c_str());
    auto handle = open_geom_stats();
    std::vector<DiskSample> disks;
    EXPECT_TRUE(read_disk_samples(*handle, disks));
    EXPECT_EQ(disks.size(), 1u);

    fs::copy(KELMAR_FIXTURES "/geom/attached", root, options);  // rewrites the files in place
    EXPECT_TRUE(read_disk_samples(*handle, disks));
    std::string names;
    for (const DiskSample& disk : disks)
        names += disk.name + " ";
    EXPECT_EQ(names, "loop0 sda sdb ");
    close_geom_stats(handle);
    set_platform_root("/");
    fs::remove_all(root);
}

TEST(LinuxGeom, ThisMachinesDisksAreTheWholeDisksOfLsblk)
{
    FILE* lsblk = popen("lsblk -d -n -b -o KNAME,SIZE,TYPE 2>/dev/null", "r");
    ASSERT_NE(lsblk, nullptr);
    std::set<std::string> expected;
    char name[256], type[64];
    unsigned long long size;
    while (fscanf(lsblk, "%255s %llu %63s", name, &size, type) == 3)
        if (size > 0 && std::set<std::string>{"disk", "loop", "rom"}.count(type))
            expected.insert(name);
    if (pclose(lsblk) != 0)
        GTEST_SKIP() << "lsblk does not run here";
    std::set<std::string> read;
    for (const DiskSample& disk : read_disks("/"))
        read.insert(disk.name);
    EXPECT_EQ(read, expected);
}

}  // namespace
