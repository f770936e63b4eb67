#include <sys/types.h>
#include <sys/sysctl.h>

#include <cstdint>

// getloadavg as FreeBSD's C library does it: "vm.loadavg" holds the three
// averages as fixed-point numbers with their scale. Unset, it fails.
extern "C" int getloadavg(double loadavg[], int nelem)
{
    struct {
        std::uint32_t ldavg[3];
        long fscale;
    } load;
    size_t length = sizeof load;
    if (sysctlbyname("vm.loadavg", &load, &length, nullptr, 0) != 0)
        return -1;
    const int count = nelem < 3 ? nelem : 3;
    for (int i = 0; i < count; ++i)
        loadavg[i] = static_cast<double>(load.ldavg[i]) / static_cast<double>(load.fscale);
    return count;
}
