#include <stdio.h>
#include <sys/types.h>
#include <sys/devicestat.h>
#include <sys/sysctl.h>
#include <libgeom.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
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

// NVMe numbers its devices on demand: with nvme0 gone, a partition made on
// nvme1n1 takes nvme0n1's number and a new nvme2n1 that of nvme0n1p1. One open
// source sees the change, its files rewritten in place as /proc's would be.
TEST(LinuxGeom, ADeviceNumberThatChangesHandsIsANewDevice)
{
    namespace fs = std::filesystem;
    const fs::path fixture = KELMAR_FIXTURES "/geom/renumbered";
    const fs::path root = fs::temp_directory_path() / ("kelmar-geom-" + std::to_string(getpid()));
    const auto install = [&](const char* state) {
        fs::remove_all(root / "sys");
        fs::copy(fixture / state / "sys", root / "sys", fs::copy_options::recursive);
        for (const char* file : {"proc/diskstats", "proc/partitions"}) {
            std::ifstream in(fixture / state / file);
            std::ofstream(root / file) << in.rdbuf();
        }
    };
    const auto names = [](const std::vector<DiskSample>& disks) {
        std::string listed;
        for (const DiskSample& disk : disks)
            listed += disk.name + "=" + std::to_string(disk.read_ops) + " ";
        return listed;
    };
    fs::create_directories(root / "proc");
    install("before");
    set_platform_root(root.c_str());
    auto handle = open_geom_stats();
    std::vector<DiskSample> disks;
    EXPECT_TRUE(handle->ready && read_disk_samples(*handle, disks));
    EXPECT_EQ(names(disks), "nvme0n1=10 nvme1n1=20 ");
    install("after");
    EXPECT_TRUE(read_disk_samples(*handle, disks));
    EXPECT_EQ(names(disks), "nvme2n1=3 nvme1n1=27 ");
    close_geom_stats(handle);
    set_platform_root("/");
    fs::remove_all(root);
}

// Devices may come and go meanwhile (loop devices of other programs): each
// disk read must have been listed before or after, and each listed both times read.
TEST(LinuxGeom, ThisMachinesDisksAreTheWholeDisksOfLsblk)
{
    const auto lsblk = [] {
        FILE* listing = popen("lsblk -d -n -b -o KNAME,SIZE,TYPE 2>/dev/null", "r");
        std::set<std::string> disks;
        char name[256], type[64];
        unsigned long long size;
        while (listing && fscanf(listing, "%255s %llu %63s", name, &size, type) == 3)
            if (size > 0 && std::set<std::string>{"disk", "loop", "rom"}.count(type))
                disks.insert(name);
        return listing && pclose(listing) == 0 ? std::optional(disks) : std::nullopt;
    };
    const auto before = lsblk();
    if (!before)
        GTEST_SKIP() << "lsblk does not run here";
    std::set<std::string> read;
    for (const DiskSample& disk : read_disks("/"))
        read.insert(disk.name);
    const auto after = lsblk();
    ASSERT_TRUE(after);
    for (const std::string& disk : read)
        EXPECT_TRUE(before->count(disk) || after->count(disk)) << disk << " is not a disk";
    for (const std::string& disk : *before)
        EXPECT_TRUE(read.count(disk) || !after->count(disk)) << disk << " is missing";
}

}  // namespace
