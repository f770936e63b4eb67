// The renderer's own cost, with the kernel replaced by the fake: every reading
// answered from memory, so only reading, formatting and copying remain.

#include <sys/types.h>
#include <sys/socket.h>
#include <sys/sysctl.h>
#include <sys/time.h>
#include <net/if.h>
#include <net/if_mib.h>
#include <vm/vm_param.h>

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "render_loop.hpp"
#include "fake_geom.hpp"
#include "fake_kernel.hpp"

namespace {

void fill_fake_host(int interface_count)
{
    fake_kernel::reset();
    const std::int64_t ticks[5] = {1234567, 890, 345678, 12345, 98765432};
    fake_kernel::set_named_value("kern.cp_time", ticks);
    struct clockinfo clock {};
    clock.hz = 1000;
    clock.stathz = 127;
    fake_kernel::set_named_value("kern.clockrate", clock);
    fake_kernel::set_named_value("vm.stats.vm.v_page_count", std::uint32_t{4000000});
    fake_kernel::set_named_value("vm.stats.vm.v_free_count", std::uint32_t{1234567});
    fake_kernel::set_named_value("kstat.zfs.misc.arcstats.size", std::uint64_t{1} << 33);
    fake_kernel::set_named_value("kstat.zfs.misc.arcstats.c_max", std::uint64_t{1} << 34);
    fake_kernel::set_value({CTL_VM, VM_LOADAVG}, fake_kernel::loadavg{{1234, 2345, 3456}, 2048});
    const fake_kernel::Mib swap{CTL_VM, 0x0400};
    fake_kernel::set_name("vm.swap_info", swap);
    struct xswdev device {};
    device.xsw_version = XSWDEV_VERSION;
    device.xsw_nblks = 1 << 20;
    device.xsw_used = 12345;
    fake_kernel::set_value({CTL_VM, 0x0400, 0}, device);

    fake_geom::reset();
    std::vector<struct devstat> disks;
    for (int unit = 0; unit < 8; ++unit) {
        const void* id = fake_geom::add_provider(fmt::format("ada{}", unit), 1);
        disks.push_back(fake_geom::record(id, 123456789012u, 98765432101u, 1234567u, 7654321u));
    }
    fake_geom::queue_snapshot(disks);

    fake_kernel::set_value({CTL_NET, PF_LINK, NETLINK_GENERIC, IFMIB_SYSTEM, IFMIB_IFCOUNT},
                           interface_count);
    for (int index = 1; index <= interface_count; ++index) {
        struct ifmibdata data;
        std::memset(&data, 0, sizeof data);
        fmt::format_to_n(data.ifmd_name, sizeof data.ifmd_name - 1, "veth{}", index);
        data.ifmd_data.ifi_ibytes = 123456789012u + static_cast<std::uint64_t>(index);
        data.ifmd_data.ifi_obytes = 98765432101u;
        data.ifmd_data.ifi_ipackets = 123456789u;
        data.ifmd_data.ifi_opackets = 98765432u;
        fake_kernel::set_value(
            {CTL_NET, PF_LINK, NETLINK_GENERIC, IFMIB_IFDATA, index, IFDATA_GENERAL}, data);
    }
}

void render_with_fake_kernel(benchmark::State& state)
{
    fill_fake_host(static_cast<int>(state.range(0)));
    measure_render(state);
}
// Registered as BENCHMARK() would, without its __COUNTER__ (see render_benchmark.cpp).
benchmark::internal::Benchmark* const registered [[maybe_unused]] =
    benchmark::RegisterBenchmark("render_with_fake_kernel", render_with_fake_kernel)
        ->Arg(1)
        ->Arg(200)
        ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
