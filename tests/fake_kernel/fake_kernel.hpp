#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A programmable kernel for unit tests: the FreeBSD sysctl calls answered from
// tables that each test fills, and getloadavg from "vm.loadavg" as FreeBSD's C
// library reads it. Every name is unknown (ENOENT) until set.
namespace fake_kernel {

using Mib = std::vector<int>;

// FreeBSD's struct loadavg, the value of "vm.loadavg" ({CTL_VM, VM_LOADAVG}),
// from which its getloadavg answers, as the fake's does.
struct loadavg {
    std::uint32_t ldavg[3];
    long fscale;
};

// Forgets every name and value.
void reset();
// The bytes `mib` answers with.
void set_bytes(const Mib& mib, std::string bytes);
// Makes `name` resolve to `mib` for sysctlbyname and sysctlnametomib.
void set_name(const std::string& name, const Mib& mib);
// The numeric name `name` resolves to; one of the fake's choosing if it has none yet.
Mib mib_of(const std::string& name);

template <typename T> void set_value(const Mib& mib, const T& value)
{
    set_bytes(mib, std::string(reinterpret_cast<const char*>(&value), sizeof value));
}

template <typename T> void set_named_value(const std::string& name, const T& value)
{
    set_value(mib_of(name), value);
}

}  // namespace fake_kernel
