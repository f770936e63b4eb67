#include "collect/scalar_readings.hpp"

#include <sys/types.h>
#include <sys/sysctl.h>
#include <unistd.h>

#include <cstdint>

namespace {

bool read_page_count(const char* name, std::uint32_t& pages)
{
    std::uint32_t value = 0;
    size_t length = sizeof value;
    if (sysctlbyname(name, &value, &length, nullptr, 0) != 0 || length != sizeof value)
        return false;
    pages = value;
    return true;
}

}  // namespace

bool read_memory_usage(MemoryUsage& memory)
{
    const long page_size = sysconf(_SC_PAGESIZE);
    if (page_size <= 0)
        return false;

    std::uint32_t page_count = 0;
    std::uint32_t free_count = 0;
    if (!read_page_count("vm.stats.vm.v_page_count", page_count) ||
        !read_page_count("vm.stats.vm.v_free_count", free_count))
        return false;

    // The two counts are read at different moments; free may briefly exceed total.
    const std::uint32_t used_pages = page_count >= free_count ? page_count - free_count : 0;
    const auto page_bytes = static_cast<std::uint64_t>(page_size);
    memory.total_bytes = page_count * page_bytes;
    memory.used_bytes = used_pages * page_bytes;
    return true;
}
