#include <sys/types.h>
#include <sys/inotify.h>
#include <sys/devicestat.h>
#include <sys/sysctl.h>
#include <libgeom.h>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
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

// One handle, opened on the first of a host's states, reads each next one:
// a disk with three partitions, a device-mapper device on the second, loop
// devices of size 0 (hundreds, as snaps leave them), and a disk whose name has
// a '/' (sysfs writes '!') listed last in /proc/partitions and busy for over an
// hour: only the two disks are read. Then loop0 has media and its diskstats
// line the 11 counters of older kernels, and a second disk came. Then NVMe,
// which numbers its devices on demand: with nvme0 gone, a partition made on
// nvme1n1 takes nvme0n1's number and a new nvme2n1 that of nvme0n1p1. The
// generation moves when devices come or go, and only then.
TEST(LinuxGeom, DevicesThatComeGoOrChangeNumbersAreReadByTheHandleOpenedBefore)
{
    const struct {
        const char* state;
        bool renumbered;
        const char* listed;
    } states[] = {
        {"base", false, "sda 49152000 10485760 1200 340 1.5\ncciss/c0d0 8192 4096 7 3 3723.5\n"},
        {"attached", false,
         "loop0 32768 0 4 0 0.001\nsda 49664000 10496000 1300 345 1.51\nsdb 204800 0 50 0 0.02\n"},
        {"base", false, "sda 49152000 10485760 1200 340 1.5\ncciss/c0d0 8192 4096 7 3 3723.5\n"},
        {"renumbered/before", true, "nvme0n1 40960 0 10 0 0.001\nnvme1n1 81920 0 20 0 0.002\n"},
        {"renumbered/after", true, "nvme2n1 12288 0 3 0 0.001\nnvme1n1 110592 0 27 0 0.002\n"},
    };
    ScratchRoot root;
    root.install(KELMAR_FIXTURES "/geom/base");
    const long base = devstat_generation();
    auto handle = open_geom_stats();
    EXPECT_TRUE(handle->ready);
    std::vector<DiskSample> disks;
    for (long moved = 0; const auto& s : states) {
        SCOPED_TRACE(s.state);
        root.install(fs::path(KELMAR_FIXTURES "/geom") / s.state, s.renumbered);
        EXPECT_EQ(devstat_generation(), base + moved);
        EXPECT_TRUE(read_disk_samples(*handle, disks));
        EXPECT_EQ(listed(disks), s.listed);
        EXPECT_EQ(devstat_generation(), base + moved++);
    }
    close_geom_stats(handle);
}

// One block device of a host, in the kernel's order.
struct Block {
    std::string name;
    unsigned major;
    unsigned minor;
    bool disk;          // with media and three partitions; else a loop device without
    std::string slave;  // for a device-mapper device, the partition it is built on
};

std::string sd_name(int i)
{
    return i < 26 ? fmt::format("sd{:c}", 'a' + i)
                  : fmt::format("sd{:c}{:c}", 'a' + i / 26 - 1, 'a' + i % 26);
}

std::string partition_name(const Block& disk, int number)
{
    return disk.name + (disk.name.starts_with("nvme") ? "p" : "") + std::to_string(number);
}

// A storage host: disks at the start (sda), between two runs of 250 loop
// devices without media (160 more) and at the end (nvme0n1), each with three
// partitions, and a device-mapper device on sdb2. Both of /proc's lists are
// several reads long.
std::vector<Block> storage_host()
{
    std::vector<Block> blocks = {{"sda", 8, 0, true, ""}};
    for (unsigned i = 0; i < 500; ++i) {
        blocks.push_back({fmt::format("loop{}", i), 7, i, false, ""});
        if (i == 249)
            for (int d = 1; d <= 160; ++d)
                blocks.push_back({sd_name(d), d < 16 ? 8u : 64u + d / 16, d % 16 * 16u, true, ""});
    }
    blocks.push_back({"nvme0n1", 259, 0, true, ""});
    blocks.push_back({"dm-0", 253, 0, false, "sdb2"});
    return blocks;
}

void put(const fs::path& path, const std::string& text)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;  // in place, as /proc rewrites its files
}

// /proc's two lists, with counters that move with `round`, and the disks
// they give as `listed` writes them.
std::string write_lists(const fs::path& root, const std::vector<Block>& blocks, int round)
{
    std::string diskstats, partitions = "major minor  #blocks  name\n\n", disks;
    for (size_t j = 0; j < blocks.size(); ++j) {
        const Block& b = blocks[j];
        const bool media = b.disk || !b.slave.empty();
        const auto line = [&](const std::string& name, unsigned minor, std::uint64_t ops) {
            diskstats += fmt::format("{:4} {:7} {} {} 0 {} 0 {} 0 {} 0 0 {} 0 0 0 0 0 0 0\n",
                                     b.major, minor, name, ops + round, 8 * (ops + round), ops,
                                     2 * ops, 1000 * (ops + round));
            if (media)
                partitions += fmt::format("{:4} {:7} {:10} {}\n", b.major, minor, 1024, name);
        };
        line(b.name, b.minor, j);
        if (!b.disk)
            continue;
        disks += fmt::format("{} {} {} {} {} {}\n", b.name, 4096 * (j + round), 1024 * j, j + round,
                             j, j + round);
        for (unsigned p = 1; p <= 3; ++p)
            line(partition_name(b, p), b.minor + p, j * 10 + p);
    }
    put(root / "proc/diskstats", diskstats);
    put(root / "proc/partitions", partitions);
    return disks;
}

void write_sysfs(const fs::path& root, const Block& b)
{
    const fs::path directory = root / "sys/block" / b.name;
    put(directory / "dev", fmt::format("{}:{}\n", b.major, b.minor));
    put(directory / "size", b.disk || !b.slave.empty() ? "2048\n" : "0\n");
    if (!b.slave.empty())
        fs::create_directories(directory / "slaves" / b.slave);
    for (unsigned p = 1; p <= 3 && b.disk; ++p) {
        const fs::path partition = directory / partition_name(b, static_cast<int>(p));
        put(partition / "dev", fmt::format("{}:{}\n", b.major, b.minor + p));
        put(partition / "size", "512\n");
        put(partition / "partition", fmt::format("{}\n", p));
    }
}

// Files and directories opened below a tree since the last call, as inotify
// reports them for the directories it held when this began watching.
struct OpenCounter {
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    bool watching = fd >= 0;

    explicit OpenCounter(const fs::path& tree)
    {
        watching = watching && inotify_add_watch(fd, tree.c_str(), IN_OPEN) >= 0;
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(tree))
            if (entry.is_directory())
                watching = watching && inotify_add_watch(fd, entry.path().c_str(), IN_OPEN) >= 0;
    }
    ~OpenCounter()
    {
        if (fd >= 0)
            close(fd);
    }
    int opens()
    {
        int count = 0;
        alignas(struct inotify_event) char events[65536];
        for (ssize_t length; (length = read(fd, events, sizeof events)) > 0;)
            for (const char* at = events; at < events + length;
                 at += sizeof(struct inotify_event) +
                       reinterpret_cast<const struct inotify_event*>(at)->len)
                ++count;
        return count;
    }
};

// Every disk is read, wherever the kernel lists it; scrapes of a host whose
// devices stay load no tree again, and one with a disk attached does.
TEST(LinuxGeom, EveryDiskOfALargeHostAndNoTreeLoadedWhileItsDevicesStay)
{
    ScratchRoot root;
    std::vector<Block> blocks = storage_host();
    for (const Block& b : blocks)
        write_sysfs(root.path, b);
    std::string disks_listed = write_lists(root.path, blocks, 0);
    EXPECT_GT(fs::file_size(root.path / "proc/partitions"), 16384);
    EXPECT_GT(fs::file_size(root.path / "proc/diskstats"), 65536);
    auto handle = open_geom_stats();
    std::vector<DiskSample> disks;
    EXPECT_TRUE(handle->ready && read_disk_samples(*handle, disks));
    EXPECT_EQ(listed(disks), disks_listed);

    OpenCounter counter(root.path);
    if (!counter.watching)
        GTEST_SKIP() << "inotify cannot watch the fixture's directories";
    for (int round = 1; round <= 4; ++round) {
        if (round == 4) {  // a disk attached
            blocks.push_back({"sdzz", 135, 0, true, ""});
            write_sysfs(root.path, blocks.back());
        }
        disks_listed = write_lists(root.path, blocks, round);
        counter.opens();  // this test's own
        EXPECT_TRUE(read_disk_samples(*handle, disks));
        EXPECT_EQ(listed(disks), disks_listed);
        EXPECT_EQ(counter.opens() > 0, round == 4) << "round " << round;
    }
    close_geom_stats(handle);
}

}  // namespace
