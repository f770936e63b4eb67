// FreeBSD's sysctl names that the readers use, answered from Linux's /proc.

#include <sys/types.h>
#include <sys/sysctl.h>
#include <sys/time.h>
#include <vm/vm_param.h>
#include <errno.h>
#include <net/if.h>
#include <sys/socket.h>
#include <net/if_mib.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <optional>

#include "platform_files.hpp"
#include "sysctl_answers.hpp"

namespace {

enum class Source {
    cp_time,
    clockrate,
    page_count,
    free_count,
    swap_info,
    arc_size,
    arc_c_max,
    devstat_generation
};

// Names we answer, with numeric names of our own below FreeBSD's top levels
// (kern.clockrate keeps FreeBSD's own number).
struct KnownName {
    const char* name;
    int mib[2];
    Source source;
};

constexpr KnownName known_names[] = {
    {"kern.cp_time", {CTL_KERN, 0x7001}, Source::cp_time},
    {"kern.clockrate", {CTL_KERN, KERN_CLOCKRATE}, Source::clockrate},
    {"vm.stats.vm.v_page_count", {CTL_VM, 0x7002}, Source::page_count},
    {"vm.stats.vm.v_free_count", {CTL_VM, 0x7003}, Source::free_count},
    {"vm.swap_info", {CTL_VM, 0x7004}, Source::swap_info},
    {"kstat.zfs.misc.arcstats.size", {CTL_DEBUG, 0x7005}, Source::arc_size},
    {"kstat.zfs.misc.arcstats.c_max", {CTL_DEBUG, 0x7006}, Source::arc_c_max},
    {"kern.devstat.generation", {CTL_KERN, 0x7007}, Source::devstat_generation},
};

const KnownName* find_known_name(const char* name)
{
    for (const KnownName& known : known_names)
        if (std::strcmp(name, known.name) == 0)
            return &known;
    return nullptr;
}

int fail(int error)
{
    errno = error;
    return -1;
}

// The Linux tick rate: /proc/stat counts in these units.
long linux_tick_rate()
{
    return sysconf(_SC_CLK_TCK);
}

// The first "cpu" line of /proc/stat, folded into FreeBSD's five CPU states.
int answer_cp_time(void* oldp, size_t* oldlenp)
{
    char buffer[1024];
    const ssize_t length = reread_platform_file("/proc/stat", buffer, sizeof buffer);
    if (length <= 0)
        return ENOENT;
    TextCursor text{buffer, buffer + length};
    if (!skip_word(text, "cpu "))
        return ENOENT;
    // user nice system idle iowait irq softirq [steal guest guest_nice]
    std::uint64_t fields[7] = {};
    for (std::uint64_t& field : fields)
        if (!parse_u64(text, field))
            return ENOENT;
    const std::int64_t cp_time[5] = {
        static_cast<std::int64_t>(fields[0]),
        static_cast<std::int64_t>(fields[1]),
        static_cast<std::int64_t>(fields[2]),
        static_cast<std::int64_t>(fields[5] + fields[6]),
        static_cast<std::int64_t>(fields[3] + fields[4]),
    };
    return copy_out(cp_time, sizeof cp_time, oldp, oldlenp);
}

int answer_clockrate(void* oldp, size_t* oldlenp)
{
    const long rate = linux_tick_rate();
    if (rate <= 0 || rate > INT_MAX)
        return ENOENT;
    struct clockinfo clock {};
    clock.hz = static_cast<int>(rate);
    clock.tick = static_cast<int>(1000000 / rate);
    clock.stathz = static_cast<int>(rate);
    clock.profhz = static_cast<int>(rate);
    return copy_out(&clock, sizeof clock, oldp, oldlenp);
}

// MemTotal and MemFree of /proc/meminfo, in pages, as FreeBSD's 32-bit counts.
// The readers ask for the total and then the free count; both are taken from
// one read of the file, and the free count is kept for that second call only.
struct MeminfoPages {
    std::uint32_t total;
    std::uint32_t free;
};

bool read_meminfo_pages(MeminfoPages& pages)
{
    char buffer[4096];
    const ssize_t length = reread_platform_file("/proc/meminfo", buffer, sizeof buffer);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (length <= 0 || page_size <= 0)
        return false;
    std::uint64_t total_kib = 0;
    std::uint64_t free_kib = 0;
    TextCursor total{buffer, buffer + length};
    TextCursor free{buffer, buffer + length};
    if (!find_line(total, "MemTotal:") || !parse_u64(total, total_kib) ||
        !find_line(free, "MemFree:") || !parse_u64(free, free_kib))
        return false;
    const auto in_pages = [&](std::uint64_t kibibytes) {
        const std::uint64_t count = kibibytes * 1024 / static_cast<std::uint64_t>(page_size);
        return count > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(count);
    };
    pages = MeminfoPages{in_pages(total_kib), in_pages(free_kib)};
    return true;
}

double monotonic_seconds()
{
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The free count read along with the last total, and when.
std::optional<std::uint32_t> paired_free_pages;
double paired_at = 0;
constexpr double pairing_window_seconds = 0.01;

int answer_page_count(void* oldp, size_t* oldlenp)
{
    MeminfoPages pages{};
    if (!read_meminfo_pages(pages))
        return ENOENT;
    paired_free_pages = pages.free;
    paired_at = monotonic_seconds();
    return copy_out(&pages.total, sizeof pages.total, oldp, oldlenp);
}

int answer_free_count(void* oldp, size_t* oldlenp)
{
    std::uint32_t free_pages = 0;
    if (paired_free_pages && monotonic_seconds() - paired_at < pairing_window_seconds) {
        free_pages = *paired_free_pages;
    } else {
        MeminfoPages pages{};
        if (!read_meminfo_pages(pages))
            return ENOENT;
        free_pages = pages.free;
    }
    paired_free_pages.reset();
    return copy_out(&free_pages, sizeof free_pages, oldp, oldlenp);
}

// Line `index` (after the header) of /proc/swaps as a version-2 xswdev.
int answer_swap_device(int index, void* oldp, size_t* oldlenp)
{
    char buffer[16384];
    const ssize_t length = reread_platform_file("/proc/swaps", buffer, sizeof buffer);
    if (length <= 0 || index < 0)
        return ENOENT;
    TextCursor text{buffer, buffer + length};
    for (int line = 0; line <= index; ++line)
        if (!next_line(text))
            return ENOENT;
    // Filename Type Size Used Priority; the file name may hold no blanks.
    next_word(text);
    next_word(text);
    std::uint64_t size_kib = 0;
    std::uint64_t used_kib = 0;
    if (!parse_u64(text, size_kib) || !parse_u64(text, used_kib))
        return ENOENT;
    const auto page_kib = static_cast<std::uint64_t>(getpagesize()) / 1024;
    if (page_kib == 0)
        return ENOENT;
    struct xswdev device {};
    device.xsw_version = XSWDEV_VERSION;
    device.xsw_nblks =
        static_cast<int>(size_kib / page_kib > INT_MAX ? INT_MAX : size_kib / page_kib);
    device.xsw_used =
        static_cast<int>(used_kib / page_kib > INT_MAX ? INT_MAX : used_kib / page_kib);
    return copy_out(&device, sizeof device, oldp, oldlenp);
}

// A named figure of the ZFS ARC kstats; missing when ZFS is not loaded.
int answer_arc(const char* key, void* oldp, size_t* oldlenp)
{
    char buffer[16384];
    const ssize_t length =
        reread_platform_file("/proc/spl/kstat/zfs/arcstats", buffer, sizeof buffer);
    if (length <= 0)
        return ENOENT;
    TextCursor text{buffer, buffer + length};
    std::uint64_t type = 0;
    std::uint64_t value = 0;
    // "name type data", e.g. "size 4 1234"
    if (!find_line(text, key) || !parse_u64(text, type) || !parse_u64(text, value))
        return ENOENT;
    return copy_out(&value, sizeof value, oldp, oldlenp);
}

int answer(Source source, const int* extra, unsigned int extra_count, void* oldp, size_t* oldlenp)
{
    if (source == Source::swap_info)
        return extra_count == 1 ? answer_swap_device(extra[0], oldp, oldlenp) : EINVAL;
    if (extra_count != 0)
        return ENOENT;
    switch (source) {
    case Source::cp_time: return answer_cp_time(oldp, oldlenp);
    case Source::clockrate: return answer_clockrate(oldp, oldlenp);
    case Source::page_count: return answer_page_count(oldp, oldlenp);
    case Source::free_count: return answer_free_count(oldp, oldlenp);
    case Source::arc_size: return answer_arc("size ", oldp, oldlenp);
    case Source::arc_c_max: return answer_arc("c_max ", oldp, oldlenp);
    case Source::devstat_generation: return answer_devstat_generation(oldp, oldlenp);
    case Source::swap_info: break;
    }
    return ENOENT;
}

}  // namespace

int copy_out(const void* value, size_t size, void* oldp, size_t* oldlenp)
{
    if (oldlenp == nullptr)
        return oldp == nullptr ? 0 : EINVAL;
    if (oldp == nullptr) {
        *oldlenp = size;
        return 0;
    }
    if (*oldlenp < size) {
        std::memcpy(oldp, value, *oldlenp);
        return ENOMEM;
    }
    std::memcpy(oldp, value, size);
    *oldlenp = size;
    return 0;
}

extern "C" int sysctl(const int* name, unsigned int namelen, void* oldp, size_t* oldlenp,
                      const void* newp, size_t newlen)
{
    if (name == nullptr || namelen < 2 || namelen > CTL_MAXNAME)
        return fail(EINVAL);
    if (newp != nullptr || newlen != 0)
        return fail(EPERM);
    if (namelen >= 3 && name[0] == CTL_NET && name[1] == PF_LINK && name[2] == NETLINK_GENERIC) {
        const int error = answer_interface_mib(name, namelen, oldp, oldlenp);
        return error == 0 ? 0 : fail(error);
    }
    for (const KnownName& known : known_names) {
        if (name[0] == known.mib[0] && name[1] == known.mib[1]) {
            const int error = answer(known.source, name + 2, namelen - 2, oldp, oldlenp);
            return error == 0 ? 0 : fail(error);
        }
    }
    return fail(ENOENT);
}

extern "C" int sysctlbyname(const char* name, void* oldp, size_t* oldlenp, const void* newp,
                            size_t newlen)
{
    if (name == nullptr)
        return fail(EINVAL);
    if (newp != nullptr || newlen != 0)
        return fail(EPERM);
    const KnownName* known = find_known_name(name);
    if (known == nullptr)
        return fail(ENOENT);
    const int error = answer(known->source, nullptr, 0, oldp, oldlenp);
    return error == 0 ? 0 : fail(error);
}

extern "C" int sysctlnametomib(const char* name, int* mibp, size_t* sizep)
{
    if (name == nullptr || mibp == nullptr || sizep == nullptr)
        return fail(EINVAL);
    const KnownName* known = find_known_name(name);
    if (known == nullptr)
        return fail(ENOENT);
    if (*sizep < 2)
        return fail(ENOMEM);
    mibp[0] = known->mib[0];
    mibp[1] = known->mib[1];
    *sizep = 2;
    return 0;
}
