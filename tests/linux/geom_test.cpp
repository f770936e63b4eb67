#include <sys/types.h>
#include <sys/devicestat.h>
#include <sys/sysctl.h>
#include <libgeom.h>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "collect/disk_samples.hpp"
#include "scratch_root.hpp"

namespace {

namespace fs = std::filesystem;

long devstat_generation()
{
    long generation = 0;
    size_t length = sizeof generation;
    EXPECT_EQ(sysctlbyname("kern.devstat.generation", &generation, &length, nullptr, 0), 0);
    EXPECT_EQ(length, sizeof generation);
    return generation;
}

// Each disk read: name, bytes read and written, operations, busy seconds.
std::string listed(const std::vector<DiskSample>& disks)
{
    std::string text;
    for (const DiskSample& d : disks)
        text += fmt::format("{} {} {} {} {} {}\n", d.name, d.read_bytes, d.write_bytes, d.read_ops,
                            d.write_ops, d.busy_seconds);
    return text;
}

// A disk with three partitions, a device-mapper device on the second, loop
// devices of size 0 (hundreds, as snaps leave them, so that /proc/diskstats
// takes more than one read), and a disk whose name has a '/' (sysfs writes
// '!') listed last in /proc/partitions and busy for over an hour: only the two
// disks are read. Then, with the statistics still open, loop0 has media and
// its diskstats line the 11 counters of older kernels, and a second disk came.
// The generation moves when devices come or go, and only then.
TEST(LinuxGeom, DevicesAttachedAfterOpeningAreReadByTheSameHandle)
{
    ScratchRoot root;
    root.install(KELMAR_FIXTURES "/geom/base");
    const long base = devstat_generation();
    auto handle = open_geom_stats();
    std::vector<DiskSample> disks;
    EXPECT_TRUE(handle->ready && read_disk_samples(*handle, disks));
    EXPECT_EQ(listed(disks),
              "sda 49152000 10485760 1200 340 1.5\ncciss/c0d0 8192 4096 7 3 3723.5\n");
    EXPECT_EQ(devstat_generation(), base);

    root.install(KELMAR_FIXTURES "/geom/attached");
    EXPECT_EQ(devstat_generation(), base + 1);
    EXPECT_TRUE(read_disk_samples(*handle, disks));
    EXPECT_EQ(listed(disks), "loop0 32768 0 4 0 0.001\n"
                             "sda 49664000 10496000 1300 345 1.51\n"
                             "sdb 204800 0 50 0 0.02\n");
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
    EXPECT_EQ(listed(disks), "nvme0n1 40960 0 10 0 0.001\nnvme1n1 81920 0 20 0 0.002\n");
    root.install(fixture / "after", true);
    EXPECT_TRUE(read_disk_samples(*handle, disks));
    EXPECT_EQ(listed(disks), "nvme2n1 12288 0 3 0 0.001\nnvme1n1 110592 0 27 0 0.002\n");
    close_geom_stats(handle);
}

}  // namespace
