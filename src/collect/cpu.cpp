#include "collect/scalar_readings.hpp"

#include <sys/types.h>
#include <sys/sysctl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>

namespace {

// "kern.cp_time" counts statistics-clock ticks, at stathz per CPU. FreeBSD's
// sysconf(_SC_CLK_TCK) is a fixed 128 that is not that rate (stathz is
// normally 127), so it serves only when the clock rates cannot be read.
long cp_time_tick_rate()
{
    struct clockinfo clock {};
    size_t length = sizeof clock;
    if (sysctlbyname("kern.clockrate", &clock, &length, nullptr, 0) == 0 && length == sizeof clock)
        return clock.stathz;
    return sysconf(_SC_CLK_TCK);
}

}  // namespace

bool read_cpu_times(CpuTimes& times)
{
    std::int64_t ticks[5] = {};
    size_t length = sizeof ticks;
    if (sysctlbyname("kern.cp_time", ticks, &length, nullptr, 0) != 0 || length != sizeof ticks)
        return false;

    const long rate = cp_time_tick_rate();
    if (rate <= 0)
        return false;

    // The kernel's CPU-state order: user, nice, system, interrupt, idle.
    const double seconds_per_tick = 1.0 / static_cast<double>(rate);
    times.user = static_cast<double>(ticks[0]) * seconds_per_tick;
    times.nice = static_cast<double>(ticks[1]) * seconds_per_tick;
    times.system = static_cast<double>(ticks[2]) * seconds_per_tick;
    times.interrupt = static_cast<double>(ticks[3]) * seconds_per_tick;
    times.idle = static_cast<double>(ticks[4]) * seconds_per_tick;
    return true;
}
