// Any bytes as one read of rtnetlink dump replies: the walker keeps inside the
// buffer and reports only links with an index. The input is copied to end
// where an unreadable page begins, so that a read past it faults in any build,
// not only under AddressSanitizer.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "link_table.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The first four bytes choose the dump's sequence number.
    if (size < 4)
        return 0;
    std::uint32_t sequence;
    std::memcpy(&sequence, data, sizeof sequence);
    const std::size_t length = size - 4;
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t span = (length + page - 1) / page * page;
    auto* region = static_cast<char*>(
        mmap(nullptr, span + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (region == MAP_FAILED || mprotect(region + span, page, PROT_NONE) != 0)
        std::abort();
    char* buffer = region + span - length;
    std::memcpy(buffer, data + 4, length);
    std::vector<LinkRecord> links;
    const int result = walk_link_replies(buffer, length, sequence, links);
    munmap(region, span + page);
    if (result < -1)
        std::abort();
    for (const LinkRecord& link : links)
        if (link.index <= 0)
            std::abort();
    return 0;
}
