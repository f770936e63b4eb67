// The interface MIB over a link list set here in place of the kernel's: index
// gaps, the longest names and failures that this machine cannot make at will.

#include <errno.h>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "collect/interface_samples.hpp"
#include "link_table.hpp"

namespace {

std::vector<LinkRecord> kernel_links;
int kernel_error = 0;

// Counters base + 1 ... base + 7 in InterfaceSample's order show a swapped pair.
LinkRecord link(int index, const char* name, std::uint64_t base)
{
    LinkRecord link{};
    link.index = index;
    std::memcpy(link.name, name, std::strlen(name));
    for (std::uint64_t* counter :
         {&link.rx_bytes, &link.tx_bytes, &link.rx_packets, &link.tx_packets, &link.rx_errors,
          &link.tx_errors, &link.rx_dropped})
        *counter = ++base;
    return link;
}

}  // namespace

int read_link_table(std::vector<LinkRecord>& links)
{
    links = kernel_error == 0 ? kernel_links : std::vector<LinkRecord>{};
    return kernel_error;
}

namespace {

TEST(InterfaceMib, EveryLinkUpToTheHighestIndexWithItsWholeName)
{
    // Links 2 and 3 were deleted; the 15 characters of a USB adapter named
    // after its address are the most a name may have.
    kernel_links = {link(1, "lo", 10), link(4, "enx0123456789ab", 40), link(7, "wg0", 70)};
    std::vector<InterfaceSample> samples;
    ASSERT_TRUE(read_interface_samples(samples));
    std::string text;
    for (const InterfaceSample& i : samples)
        text += fmt::format("{} {} {} {} {} {} {} {}\n", i.name, i.rx_bytes, i.tx_bytes,
                            i.rx_packets, i.tx_packets, i.rx_errors, i.tx_errors, i.rx_drops);
    EXPECT_EQ(text, "lo 11 12 13 14 15 16 17\n"
                    "enx0123456789ab 41 42 43 44 45 46 47\n"
                    "wg0 71 72 73 74 75 76 77\n");

    kernel_error = ENOBUFS;
    EXPECT_FALSE(read_interface_samples(samples));
    EXPECT_TRUE(samples.empty());
    kernel_error = 0;
}

}  // namespace
