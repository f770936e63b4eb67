// Any bytes as the text of a kernel file the Linux layer parses: /proc/stat,
// /proc/meminfo, /proc/swaps, ZFS arcstats, /proc/diskstats, a sysfs number
// (a disk's size) and a sysfs device number. The first byte chooses the file;
// the rest becomes its contents in a fixture root, and the FreeBSD call that
// reads it is made by the reader that makes it.

#include <fcntl.h>
#include <libgeom.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysctl.h>
#include <sys/types.h>
#include <unistd.h>
#include <vm/vm_param.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "collect/disk_samples.hpp"
#include "collect/scalar_readings.hpp"

#include "platform_files.hpp"

namespace {

const char* const files[] = {
    "/proc/stat",      "/proc/meminfo",       "/proc/swaps",        "/proc/spl/kstat/zfs/arcstats",
    "/proc/diskstats", "/sys/block/sda/size", "/sys/block/sda/dev",
};

std::string root;

void write_file(const char* absolute_path, const std::uint8_t* data, std::size_t size)
{
    // Rewritten in place: the layer keeps some files open and reads them anew.
    const int fd = open((root + absolute_path).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)))
        std::abort();
    close(fd);
}

void set_up()
{
    char directory[] = "/tmp/kelmar-fuzz-XXXXXX";
    if (mkdtemp(directory) == nullptr)
        std::abort();
    root = directory;
    for (const char* sub : {"/proc", "/proc/spl", "/proc/spl/kstat", "/proc/spl/kstat/zfs", "/sys",
                            "/sys/block", "/sys/block/sda"})
        mkdir((root + sub).c_str(), 0755);
    const std::uint8_t partitions[] = "major minor  #blocks  name\n\n   8        0    1024 sda\n";
    write_file("/proc/partitions", partitions, sizeof partitions - 1);
    for (const char* file : files)
        write_file(file, nullptr, 0);
    write_file("/sys/block/sda/size", reinterpret_cast<const std::uint8_t*>("2048\n"), 5);
    write_file("/sys/block/sda/dev", reinterpret_cast<const std::uint8_t*>("8:0\n"), 4);
    set_platform_root(root.c_str());
    // The fixture root goes when the process ends.
    std::atexit([] { std::system(("rm -rf " + root).c_str()); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (root.empty())
        set_up();
    if (size == 0)
        return 0;
    const unsigned choice = data[0] % (sizeof files / sizeof files[0]);
    write_file(files[choice], data + 1, size - 1);
    // What the readers make of it, as they read it.
    CpuTimes cpu;
    MemoryUsage memory;
    SwapUsage swap;
    ArcSizes arc;
    std::vector<DiskSample> disks;
    switch (choice) {
    case 0: read_cpu_times(cpu); break;
    case 1: read_memory_usage(memory); break;
    case 2: read_swap_usage(swap); break;
    case 3: read_arc_sizes(arc); break;
    case 4: {
        auto handle = open_geom_stats();
        read_disk_samples(*handle, disks);
        close_geom_stats(handle);
        break;
    }
    default: {
        // The disk's size and device number are read when the tree is built.
        struct gmesh mesh;
        if (geom_gettree(&mesh) == 0)
            geom_deletetree(&mesh);
    }
    }
    return 0;
}
