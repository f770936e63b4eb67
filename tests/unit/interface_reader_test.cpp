#include <errno.h>
#include <sys/types.h>
#include <sys/socket.h>
#include <sys/sysctl.h>
#include <net/if.h>
#include <net/if_mib.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "collect/interface_samples.hpp"
#include "fake_kernel.hpp"

namespace {

const fake_kernel::Mib count_name{CTL_NET, PF_LINK, NETLINK_GENERIC, IFMIB_SYSTEM, IFMIB_IFCOUNT};

fake_kernel::Mib data_name(int index)
{
    return {CTL_NET, PF_LINK, NETLINK_GENERIC, IFMIB_IFDATA, index, IFDATA_GENERAL};
}

// An interface whose counters are `base` + 1 ... `base` + 7 in the order of
// InterfaceSample's fields, so a swapped pair shows.
struct ifmibdata interface_data(const char* name, std::uint64_t base)
{
    struct ifmibdata data;
    std::memset(&data, 0, sizeof data);
    std::strncpy(data.ifmd_name, name, sizeof data.ifmd_name);
    data.ifmd_data.ifi_ibytes = base + 1;
    data.ifmd_data.ifi_obytes = base + 2;
    data.ifmd_data.ifi_ipackets = base + 3;
    data.ifmd_data.ifi_opackets = base + 4;
    data.ifmd_data.ifi_ierrors = base + 5;
    data.ifmd_data.ifi_oerrors = base + 6;
    data.ifmd_data.ifi_iqdrops = base + 7;
    // Members the reader must not take.
    data.ifmd_data.ifi_oqdrops = 99;
    data.ifmd_data.ifi_collisions = 99;
    return data;
}

void expect_sample(const InterfaceSample& sample, const std::string& name, std::uint64_t base)
{
    EXPECT_EQ(sample.name, name);
    EXPECT_EQ(sample.rx_bytes, base + 1);
    EXPECT_EQ(sample.tx_bytes, base + 2);
    EXPECT_EQ(sample.rx_packets, base + 3);
    EXPECT_EQ(sample.tx_packets, base + 4);
    EXPECT_EQ(sample.rx_errors, base + 5);
    EXPECT_EQ(sample.tx_errors, base + 6);
    EXPECT_EQ(sample.rx_drops, base + 7);
}

struct InterfaceReader : ::testing::Test {
    void SetUp() override
    {
        fake_kernel::reset();
    }
    // Left over from an earlier reading: the reader must empty the list.
    std::vector<InterfaceSample> interfaces{InterfaceSample{"stale", 1, 1, 1, 1, 1, 1, 1}};
};

TEST_F(InterfaceReader, LoopbackAloneIsListed)
{
    fake_kernel::set_value(count_name, 1);
    fake_kernel::set_value(data_name(1), interface_data("lo0", 100));
    ASSERT_TRUE(read_interface_samples(interfaces));
    ASSERT_EQ(interfaces.size(), 1u);
    expect_sample(interfaces[0], "lo0", 100);
}

TEST_F(InterfaceReader, IndexesWithoutInterfaceAreSkipped)
{
    fake_kernel::set_value(count_name, 4);
    fake_kernel::set_value(data_name(1), interface_data("em0", 10));
    fake_kernel::set_value(data_name(3), interface_data("lo0", 30));
    fake_kernel::set_error(data_name(4), EIO);
    ASSERT_TRUE(read_interface_samples(interfaces));
    ASSERT_EQ(interfaces.size(), 2u);
    expect_sample(interfaces[0], "em0", 10);
    expect_sample(interfaces[1], "lo0", 30);
}

TEST_F(InterfaceReader, ZeroCountGivesAnEmptyList)
{
    fake_kernel::set_value(count_name, 0);
    fake_kernel::set_value(data_name(1), interface_data("lo0", 0));
    EXPECT_TRUE(read_interface_samples(interfaces));
    EXPECT_TRUE(interfaces.empty());
}

TEST_F(InterfaceReader, FailedCountEmptiesTheList)
{
    fake_kernel::set_value(count_name, 1);
    fake_kernel::set_value(data_name(1), interface_data("lo0", 0));
    ASSERT_TRUE(read_interface_samples(interfaces));
    ASSERT_EQ(interfaces.size(), 1u);

    fake_kernel::set_error(count_name, ENOENT);
    EXPECT_FALSE(read_interface_samples(interfaces));
    EXPECT_TRUE(interfaces.empty());
}

TEST_F(InterfaceReader, NameFillingItsFieldEndsAtTheField)
{
    struct ifmibdata data = interface_data("", 0);
    std::memcpy(data.ifmd_name, "abcdefghijklmnop", sizeof data.ifmd_name);
    data.ifmd_pcount = 0x41414141;  // "AAAA" right after the name
    fake_kernel::set_value(count_name, 1);
    fake_kernel::set_value(data_name(1), data);
    ASSERT_TRUE(read_interface_samples(interfaces));
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_EQ(interfaces[0].name, "abcdefghijklmnop");
}

}  // namespace
