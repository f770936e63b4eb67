#include <errno.h>
#include <sys/types.h>
#include <sys/sysctl.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <utility>

#include "fake_kernel.hpp"

namespace fake_kernel {
namespace {

struct Tables {
    std::map<Mib, std::pair<std::string, int>> values;  // bytes, error
    std::map<std::string, Mib> names;
} tables;

int fail(int error)
{
    errno = error;
    return -1;
}

// FreeBSD's copy-out into the caller's buffer: ENOMEM when it is too short.
int read_entry(const Mib& mib, void* oldp, size_t* oldlenp)
{
    const auto found = tables.values.find(mib);
    if (found == tables.values.end())
        return fail(ENOENT);
    const auto& [bytes, error] = found->second;
    if (error != 0 || *oldlenp < bytes.size())
        return fail(error != 0 ? error : ENOMEM);
    std::memcpy(oldp, bytes.data(), bytes.size());
    *oldlenp = bytes.size();
    return 0;
}

}  // namespace

void reset()
{
    tables = Tables{};
}

void set_bytes(const Mib& mib, std::string bytes, int error)
{
    tables.values[mib] = {std::move(bytes), error};
}

void set_name(const std::string& name, const Mib& mib)
{
    tables.names[name] = mib;
}

Mib mib_of(const std::string& name)
{
    const int automatic = 0x5000 + static_cast<int>(tables.names.size());
    return tables.names.try_emplace(name, Mib{CTL_DEBUG, automatic}).first->second;
}

}  // namespace fake_kernel

using namespace fake_kernel;

extern "C" int sysctl(const int* name, unsigned int namelen, void* oldp, size_t* oldlenp,
                      const void*, size_t)
{
    return read_entry(Mib(name, name + namelen), oldp, oldlenp);
}

extern "C" int sysctlbyname(const char* name, void* oldp, size_t* oldlenp, const void*, size_t)
{
    const auto found = tables.names.find(name);
    return found == tables.names.end() ? fail(ENOENT) : read_entry(found->second, oldp, oldlenp);
}

extern "C" int sysctlnametomib(const char* name, int* mibp, size_t* sizep)
{
    const auto found = tables.names.find(name);
    if (found == tables.names.end() || *sizep < found->second.size())
        return fail(found == tables.names.end() ? ENOENT : ENOMEM);
    *sizep = found->second.size();
    std::ranges::copy(found->second, mibp);
    return 0;
}

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
