#include "top/refresh.hpp"

#include "top/screen_layout.hpp"

void take_baseline(TopState& state, const RefreshReadings& readings, double now)
{
    state.have_cpu_baseline = readings.cpu.has_value();
    state.previous_cpu = readings.cpu.value_or(CpuTimes{});
    if (readings.disks)
        for (const DiskSample& disk : *readings.disks)
            store_sample(state.previous_disks, disk, now);
    if (readings.interfaces)
        for (const InterfaceSample& interface : *readings.interfaces)
            store_sample(state.previous_interfaces, interface, now);
}

std::string refresh_frame(TopState& state, const RefreshReadings& readings, double now,
                          std::optional<WindowSize> window)
{
    FrameContents contents;
    if (state.have_cpu_baseline && readings.cpu) {
        contents.cpu = compute_cpu_shares(*readings.cpu, state.previous_cpu);
        state.previous_cpu = *readings.cpu;
    }
    contents.memory = readings.memory;
    contents.load = readings.load;
    contents.swap = readings.swap;
    contents.arc = readings.arc;
    if (readings.disks) {
        contents.disks.emplace();
        for (const DiskSample& disk : *readings.disks)
            if (const auto rates = disk_step(state.previous_disks, disk, now))
                contents.disks->push_back(DiskRow{disk.name, *rates});
    }
    if (readings.interfaces) {
        contents.interfaces.emplace();
        for (const InterfaceSample& interface : *readings.interfaces)
            if (const auto rates = interface_step(state.previous_interfaces, interface, now))
                contents.interfaces->push_back(InterfaceRow{interface.name, *rates});
    }
    return build_frame(contents, window);
}
