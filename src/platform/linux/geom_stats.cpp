// libgeom's device statistics, answered from /proc/diskstats: one devstat
// record per line. As on FreeBSD the source is opened once per process and
// every snapshot is a private copy taken in one read of the file.

#include <errno.h>
#include <time.h>
#include <unistd.h>
#include <sys/devicestat.h>
#include <libgeom.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "geom_identity.hpp"
#include "platform_files.hpp"

namespace {

constexpr std::uint64_t sector_bytes = 512;  // /proc/diskstats counts 512-byte sectors

// Process-global like libgeom's own: one open per process.
struct StatsSource {
    bool open = false;
    int diskstats = -1;
    int partitions = -1;
    char* text = nullptr;  // reused by every snapshot
    size_t capacity = 0;
    // Device numbers of the devices that have media, sorted.
    std::vector<std::uint64_t> sized_devices;
};
StatsSource source;

struct SnapshotHeader {
    size_t count;
    size_t position;
    struct timespec taken;
};
static_assert(sizeof(SnapshotHeader) % alignof(struct devstat) == 0,
              "records follow the header directly");

struct devstat* records_of(SnapshotHeader* header)
{
    return reinterpret_cast<struct devstat*>(header + 1);
}

// The whole file, read from its start into the shared buffer; its length or -1.
ssize_t read_whole(int fd)
{
    size_t filled = 0;
    for (;;) {
        if (filled == source.capacity) {
            const size_t grown = std::max<size_t>(16384, source.capacity * 2);
            char* text = static_cast<char*>(std::realloc(source.text, grown));
            if (text == nullptr) {
                errno = ENOMEM;
                return -1;
            }
            source.text = text;
            source.capacity = grown;
        }
        const ssize_t got = read_file_at(fd, source.text + filled, source.capacity - filled,
                                         static_cast<off_t>(filled));
        if (got < 0)
            return -1;
        filled += static_cast<size_t>(got);
        if (filled < source.capacity)
            return static_cast<ssize_t>(filled);
    }
}

// /proc/partitions lists exactly the devices with media; the others (an
// unattached loop device) have no provider, so their records carry no id,
// like FreeBSD's records of devices outside GEOM.
bool read_sized_devices()
{
    const ssize_t length = read_whole(source.partitions);
    if (length < 0)
        return false;
    source.sized_devices.clear();
    TextCursor text{source.text, source.text + length};
    do {
        std::uint64_t major = 0;
        std::uint64_t minor = 0;
        std::uint64_t blocks = 0;
        if (parse_u64(text, major) && parse_u64(text, minor) && parse_u64(text, blocks))
            source.sized_devices.push_back(
                device_key(static_cast<std::uint32_t>(major), static_cast<std::uint32_t>(minor)));
    } while (next_line(text));
    std::sort(source.sized_devices.begin(), source.sized_devices.end());
    return true;
}

bool has_media(std::uint64_t key)
{
    return std::binary_search(source.sized_devices.begin(), source.sized_devices.end(), key);
}

struct bintime from_milliseconds(std::uint64_t milliseconds)
{
    // 2^64 = 1000 * whole + rest: the fraction of `remainder` ms, exactly floored.
    constexpr std::uint64_t whole = 18446744073709551u;
    constexpr std::uint64_t rest = 616;
    const std::uint64_t remainder = milliseconds % 1000;
    struct bintime time {};
    time.sec = static_cast<time_t>(milliseconds / 1000);
    time.frac = remainder * whole + remainder * rest / 1000;
    return time;
}

// The counters after the name, in the kernel's order (Documentation/admin-guide/iostats).
enum DiskstatsField {
    reads_completed = 0,
    sectors_read = 2,
    milliseconds_reading = 3,
    writes_completed = 4,
    sectors_written = 6,
    milliseconds_writing = 7,
    in_progress = 8,
    milliseconds_busy = 9,
    discards_completed = 11,
    sectors_discarded = 13,
    milliseconds_discarding = 14,
    flushes_completed = 15,
    milliseconds_flushing = 16,
    field_count = 17
};

// One line into `record`; false for a line that is not a device's.
bool parse_record(TextCursor& text, struct devstat& record)
{
    std::uint64_t major = 0;
    std::uint64_t minor = 0;
    if (!parse_u64(text, major) || !parse_u64(text, minor))
        return false;
    const std::string_view name = next_word(text);
    if (name.empty())
        return false;
    // Kernels before 4.18 stop after 11 counters, before 5.5 after 15.
    std::uint64_t field[field_count] = {};
    int parsed = 0;
    while (parsed < field_count && parse_u64(text, field[parsed]))
        ++parsed;
    if (parsed < 11)
        return false;

    const auto device_major = static_cast<std::uint32_t>(major);
    const auto device_minor = static_cast<std::uint32_t>(minor);
    record.sequence0 = 1;
    record.sequence1 = 1;  // a private copy is never torn
    record.allocated = 1;
    record.device_number =
        (device_minor & 0xff) | ((device_major & 0xfff) << 8) | ((device_minor & ~0xffu) << 12);
    std::memcpy(record.device_name, name.data(),
                std::min(name.size(), sizeof record.device_name - 1));
    record.unit_number = -1;
    record.bytes[DEVSTAT_READ] = field[sectors_read] * sector_bytes;
    record.bytes[DEVSTAT_WRITE] = field[sectors_written] * sector_bytes;
    record.bytes[DEVSTAT_FREE] = field[sectors_discarded] * sector_bytes;
    record.operations[DEVSTAT_NO_DATA] = field[flushes_completed];
    record.operations[DEVSTAT_READ] = field[reads_completed];
    record.operations[DEVSTAT_WRITE] = field[writes_completed];
    record.operations[DEVSTAT_FREE] = field[discards_completed];
    record.duration[DEVSTAT_NO_DATA] = from_milliseconds(field[milliseconds_flushing]);
    record.duration[DEVSTAT_READ] = from_milliseconds(field[milliseconds_reading]);
    record.duration[DEVSTAT_WRITE] = from_milliseconds(field[milliseconds_writing]);
    record.duration[DEVSTAT_FREE] = from_milliseconds(field[milliseconds_discarding]);
    record.busy_time = from_milliseconds(field[milliseconds_busy]);
    record.end_count = static_cast<unsigned>(field[reads_completed] + field[writes_completed] +
                                             field[discards_completed] + field[flushes_completed]);
    record.start_count = record.end_count + static_cast<unsigned>(field[in_progress]);
    record.block_size = sector_bytes;
    const std::uint64_t key = device_key(device_major, device_minor);
    record.id = has_media(key) ? provider_identity(device_major, device_minor, name) : nullptr;
    return true;
}

SnapshotHeader* take_snapshot()
{
    if (!read_sized_devices())
        return nullptr;
    const ssize_t length = read_whole(source.diskstats);
    if (length < 0)
        return nullptr;
    const char* const end = source.text + length;
    const auto lines =
        static_cast<size_t>(std::count(static_cast<const char*>(source.text), end, '\n')) + 1;
    auto* header = static_cast<SnapshotHeader*>(
        std::calloc(1, sizeof(SnapshotHeader) + lines * sizeof(struct devstat)));
    if (header == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    clock_gettime(CLOCK_REALTIME, &header->taken);
    struct devstat* records = records_of(header);
    TextCursor text{source.text, end};
    if (text.at < text.end) {
        do {
            if (parse_record(text, records[header->count]))
                ++header->count;
        } while (next_line(text));
    }
    return header;
}

}  // namespace

extern "C" int geom_stats_open(void)
{
    if (source.open)
        return EBUSY;
    source.diskstats = open_platform_file("/proc/diskstats");
    if (source.diskstats >= 0)
        source.partitions = open_platform_file("/proc/partitions");
    if (source.diskstats < 0 || source.partitions < 0) {
        const int error = errno;
        if (source.diskstats >= 0)
            close(source.diskstats);
        source.diskstats = -1;
        return error;
    }
    source.open = true;
    return 0;
}

extern "C" void geom_stats_close(void)
{
    if (!source.open)
        return;
    close(source.diskstats);
    close(source.partitions);
    std::free(source.text);
    source = StatsSource{};
}

extern "C" void geom_stats_resync(void)
{
    // Every snapshot reads the whole file again; nothing to remap.
}

extern "C" void* geom_stats_snapshot_get(void)
{
    if (!source.open) {
        errno = EBADF;
        return nullptr;
    }
    try {
        return take_snapshot();
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return nullptr;
    }
}

extern "C" void geom_stats_snapshot_free(void* snapshot)
{
    std::free(snapshot);
}

extern "C" void geom_stats_snapshot_timestamp(void* snapshot, struct timespec* when)
{
    *when = static_cast<SnapshotHeader*>(snapshot)->taken;
}

extern "C" void geom_stats_snapshot_reset(void* snapshot)
{
    static_cast<SnapshotHeader*>(snapshot)->position = 0;
}

extern "C" struct devstat* geom_stats_snapshot_next(void* snapshot)
{
    auto* header = static_cast<SnapshotHeader*>(snapshot);
    if (header->position == header->count)
        return nullptr;
    return &records_of(header)[header->position++];
}
