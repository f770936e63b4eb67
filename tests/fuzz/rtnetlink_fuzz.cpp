// Any bytes as one read of rtnetlink dump replies: the walker keeps inside the
// buffer (the input is copied into an allocation of exactly its size) and
// reports only links with an index.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
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
    const std::unique_ptr<char[]> buffer(new char[length]);
    std::memcpy(buffer.get(), data + 4, length);
    std::vector<LinkRecord> links;
    const int result = walk_link_replies(buffer.get(), length, sequence, links);
    if (result < -1)
        std::abort();
    for (const LinkRecord& link : links)
        if (link.index <= 0)
            std::abort();
    return 0;
}
