#include <errno.h>
#include <sys/types.h>
#include <sys/sysctl.h>

#include <algorithm>
#include <map>
#include <optional>

#include "fake_kernel.hpp"

namespace fake_kernel {
namespace {

struct Entry {
    std::string bytes;
    std::optional<size_t> reported_length;
    int error = 0;
};

struct Tables {
    std::map<Mib, Entry> values;
    std::map<std::string, Mib> names;
    int next_automatic = 0x5000;
    int calls = 0;
};

Tables& tables()
{
    static Tables instance;
    return instance;
}

int fail(int error)
{
    errno = error;
    return -1;
}

// FreeBSD's copy-out: the size alone for a null buffer, a partial copy and
// ENOMEM for a short one.
int read_entry(const Mib& mib, void* oldp, size_t* oldlenp)
{
    const auto found = tables().values.find(mib);
    if (found == tables().values.end())
        return fail(ENOENT);
    const Entry& entry = found->second;
    if (entry.error != 0)
        return fail(entry.error);
    if (oldlenp == nullptr)
        return fail(EINVAL);
    const size_t size = entry.bytes.size();
    if (oldp == nullptr) {
        *oldlenp = size;
        return 0;
    }
    if (*oldlenp < size) {
        std::memcpy(oldp, entry.bytes.data(), *oldlenp);
        return fail(ENOMEM);
    }
    std::memcpy(oldp, entry.bytes.data(), size);
    *oldlenp = entry.reported_length.value_or(size);
    return 0;
}

}  // namespace

void reset()
{
    tables() = Tables{};
}

void set_bytes(const Mib& mib, std::string bytes)
{
    tables().values[mib].bytes = std::move(bytes);
}

void set_reported_length(const Mib& mib, size_t length)
{
    tables().values[mib].reported_length = length;
}

void set_error(const Mib& mib, int error)
{
    tables().values[mib].error = error;
}

void set_name(const std::string& name, const Mib& mib)
{
    tables().names[name] = mib;
}

Mib set_named_bytes(const std::string& name, std::string bytes)
{
    const auto known = tables().names.find(name);
    const Mib mib =
        known != tables().names.end() ? known->second : Mib{CTL_DEBUG, tables().next_automatic++};
    set_name(name, mib);
    set_bytes(mib, std::move(bytes));
    return mib;
}

int call_count()
{
    return tables().calls;
}

}  // namespace fake_kernel

using fake_kernel::tables;

extern "C" int sysctl(const int* name, unsigned int namelen, void* oldp, size_t* oldlenp,
                      const void* newp, size_t newlen)
{
    ++tables().calls;
    if (newp != nullptr || newlen != 0)
        return fake_kernel::fail(EPERM);
    if (namelen < 2 || namelen > CTL_MAXNAME)
        return fake_kernel::fail(EINVAL);
    return fake_kernel::read_entry(fake_kernel::Mib(name, name + namelen), oldp, oldlenp);
}

extern "C" int sysctlbyname(const char* name, void* oldp, size_t* oldlenp, const void* newp,
                            size_t newlen)
{
    ++tables().calls;
    if (newp != nullptr || newlen != 0)
        return fake_kernel::fail(EPERM);
    const auto found = tables().names.find(name);
    if (found == tables().names.end())
        return fake_kernel::fail(ENOENT);
    return fake_kernel::read_entry(found->second, oldp, oldlenp);
}

extern "C" int sysctlnametomib(const char* name, int* mibp, size_t* sizep)
{
    ++tables().calls;
    const auto found = tables().names.find(name);
    if (found == tables().names.end())
        return fake_kernel::fail(ENOENT);
    const fake_kernel::Mib& mib = found->second;
    if (*sizep < mib.size())
        return fake_kernel::fail(ENOMEM);
    std::copy(mib.begin(), mib.end(), mibp);
    *sizep = mib.size();
    return 0;
}
