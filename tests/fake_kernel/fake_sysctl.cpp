#include <errno.h>
#include <sys/types.h>
#include <sys/sysctl.h>
#include <vm/vm_param.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <utility>

#include "fake_kernel.hpp"

namespace fake_kernel {
namespace {

struct Tables {
    std::map<Mib, std::string> values;
    std::map<std::string, Mib> names;
} tables;

int fail(int error)
{
    errno = error;
    return -1;
}

// FreeBSD's copy-out into the caller's buffer: with no buffer, the length
// alone; into one too short, as much as fits and ENOMEM, the length left as
// offered.
int read_entry(const Mib& mib, void* oldp, size_t* oldlenp)
{
    const auto found = tables.values.find(mib);
    if (found == tables.values.end())
        return fail(ENOENT);
    const std::string& bytes = found->second;
    const size_t offered = oldlenp == nullptr ? 0 : *oldlenp;
    if (oldp == nullptr) {
        if (oldlenp != nullptr)
            *oldlenp = bytes.size();
        return 0;
    }
    std::memcpy(oldp, bytes.data(), std::min(offered, bytes.size()));
    if (offered < bytes.size())
        return fail(ENOMEM);
    *oldlenp = bytes.size();
    return 0;
}

}  // namespace

void reset()
{
    tables = Tables{};
}

void set_bytes(const Mib& mib, std::string bytes)
{
    tables.values[mib] = std::move(bytes);
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
    if (namelen < 2 || namelen > CTL_MAXNAME)
        return fail(EINVAL);
    return read_entry(Mib(name, name + namelen), oldp, oldlenp);
}

// FreeBSD's C library asks the kernel for "vm.loadavg" and divides each
// fixed-point figure by the scale it comes with.
extern "C" int getloadavg(double loadavg[], int nelem) noexcept
{
    struct loadavg averages {};
    size_t length = sizeof averages;
    const int name[] = {CTL_VM, VM_LOADAVG};
    if (sysctl(name, 2, &averages, &length, nullptr, 0) < 0)
        return -1;
    nelem = std::min(nelem, 3);
    for (int i = 0; i < nelem; ++i)
        loadavg[i] = static_cast<double>(averages.ldavg[i]) / static_cast<double>(averages.fscale);
    return nelem;
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
