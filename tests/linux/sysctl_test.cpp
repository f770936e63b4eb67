#include <sys/types.h>
#include <sys/sysctl.h>

#include <gtest/gtest.h>

#include <cstdint>

#include "platform_files.hpp"

TEST(LinuxSysctl, CpTimeIsFiveCountersOfFortyBytes)
{
    set_platform_root("/");
    std::int64_t ticks[5] = {};
    size_t length = sizeof ticks;
    ASSERT_EQ(sysctlbyname("kern.cp_time", ticks, &length, nullptr, 0), 0);
    EXPECT_EQ(length, 40u);
}
