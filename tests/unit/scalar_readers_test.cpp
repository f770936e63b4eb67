#include <errno.h>
#include <sys/types.h>
#include <sys/sysctl.h>
#include <sys/time.h>
#include <vm/vm_param.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>

#include "collect/scalar_readings.hpp"
#include "fake_kernel.hpp"

namespace {

struct ScalarReaders : ::testing::Test {
    void SetUp() override { fake_kernel::reset(); }
};

void set_cp_time(std::int64_t user, std::int64_t nice, std::int64_t system,
                 std::int64_t interrupt, std::int64_t idle)
{
    const std::int64_t ticks[5] = {user, nice, system, interrupt, idle};
    fake_kernel::set_named_value("kern.cp_time", ticks);
}

void set_stathz(int rate)
{
    struct clockinfo clock {};
    clock.hz = 1000;
    clock.stathz = rate;
    fake_kernel::set_named_value("kern.clockrate", clock);
}

TEST_F(ScalarReaders, CpuTicksBecomeSecondsAtTheStatisticsClockRate)
{
    set_cp_time(256, 0, 128, 64, 1280);
    set_stathz(128);
    CpuTimes cpu{};
    ASSERT_TRUE(read_cpu_times(cpu));
    EXPECT_EQ(cpu.user, 2.0);
    EXPECT_EQ(cpu.nice, 0.0);
    EXPECT_EQ(cpu.system, 1.0);
    EXPECT_EQ(cpu.interrupt, 0.5);
    EXPECT_EQ(cpu.idle, 10.0);
}

TEST_F(ScalarReaders, StathzIsPreferredToTheClockTickConstant)
{
    set_cp_time(127, 0, 0, 0, 0);
    set_stathz(127);
    CpuTimes cpu{};
    ASSERT_TRUE(read_cpu_times(cpu));
    EXPECT_EQ(cpu.user, 127 * (1.0 / 127));
}
}  // namespace
