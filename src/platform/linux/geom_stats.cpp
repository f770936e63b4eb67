// libgeom's device statistics, answered from /proc/diskstats: one devstat
// record per line. As on FreeBSD the source is opened once per process and
// every snapshot is a private copy taken in one read of the file. Which
// devices are GEOM providers (have media) is learnt when the source is opened
// and again at each resync, as FreeBSD's mapping of the records is: a device
// that came since is read without an id, and so left out, until then.

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
#include "sysctl_answers.hpp"

namespace {

constexpr std::uint64_t sector_bytes = 512;  // /proc/diskstats counts 512-byte sectors

// Process-global like libgeom's own: one open per process.
struct StatsSource {
    bool open = false;
    int diskstats = -1;
    int partitions = -1;
    char* text = nullptr;  // reused by every snapshot
    size_t capacity = 0;
    // Device numbers of the devices that had media at open or the last
    // resync, sorted.
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

// "kern.devstat.generation": FreeBSD moves it whenever a statistics record
// is added or removed. Here it moves whenever the list of devices with media
// in /proc/partitions (device numbers and names, in order) differs from the
// one the last answer saw.
struct DeviceListGeneration {
    long generation = 1;
    std::uint64_t fingerprint = 0;
    bool seen = false;
    std::vector<char> text = std::vector<char>(8192);
};
DeviceListGeneration device_list;

std::uint64_t mix(std::uint64_t hash, std::string_view bytes)
{
    for (const char byte : bytes)
        hash = (hash ^ static_cast<unsigned char>(byte)) * 0x100000001b3u;
    return hash ^ 0xff;  // ends the field, so "1 23" and "12 3" differ
}

bool fingerprint_device_list(std::uint64_t& fingerprint)
{
    ssize_t length = 0;
    for (;;) {
        length = reread_platform_file("/proc/partitions", device_list.text.data(),
                                      device_list.text.size());
        if (length < 0)
            return false;
        if (static_cast<size_t>(length) < device_list.text.size())
            break;
        device_list.text.resize(device_list.text.size() * 2);
    }
    std::uint64_t hash = 0xcbf29ce484222325u;
    TextCursor text{device_list.text.data(), device_list.text.data() + length};
    do {
        std::uint64_t major = 0;
        std::uint64_t minor = 0;
        std::uint64_t blocks = 0;
        const char* const line = text.at;
        if (!parse_u64(text, major) || !parse_u64(text, minor))
            continue;
        const char* const numbers_end = text.at;
        if (!parse_u64(text, blocks))
            continue;
        // The size may change under a device; only the numbers and the name count.
        hash = mix(hash, std::string_view(line, static_cast<size_t>(numbers_end - line)));
        hash = mix(hash, next_word(text));
    } while (next_line(text));
    fingerprint = hash;
    return true;
}

}  // namespace

int answer_devstat_generation(void* oldp, size_t* oldlenp)
{
    std::uint64_t fingerprint = 0;
    try {
        if (!fingerprint_device_list(fingerprint))
            return ENOENT;
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
    if (device_list.seen && fingerprint != device_list.fingerprint)
        ++device_list.generation;
    device_list.fingerprint = fingerprint;
    device_list.seen = true;
    return copy_out(&device_list.generation, sizeof device_list.generation, oldp, oldlenp);
}

extern "C" int geom_stats_open(void)
{
    if (source.open)
        return EBUSY;
    source.diskstats = open_platform_file("/proc/diskstats");
    if (source.diskstats >= 0)
        source.partitions = open_platform_file("/proc/partitions");
    bool listed = false;
    if (source.diskstats >= 0 && source.partitions >= 0) {
        try {
            listed = read_sized_devices();
        } catch (const std::bad_alloc&) {
            errno = ENOMEM;
        }
    }
    if (!listed) {
        const int error = errno;
        if (source.diskstats >= 0)
            close(source.diskstats);
        if (source.partitions >= 0)
            close(source.partitions);
        std::free(source.text);
        source = StatsSource{};
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

// A failed read keeps the list from before, as nothing here can report it.
extern "C" void geom_stats_resync(void)
{
    if (!source.open)
        return;
    try {
        read_sized_devices();
    } catch (const std::bad_alloc&) {
    }
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
