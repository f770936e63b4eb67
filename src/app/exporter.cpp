#include "app/exporter.hpp"

#include <utility>

#include "collect/scalar_readings.hpp"
#include "exposition/exposition.hpp"

Exporter::Exporter(std::string prefix, std::string version)
    : prefix(std::move(prefix)), version(std::move(version)), disk_stats(open_geom_stats())
{
}

Exporter::~Exporter()
{
    close_geom_stats(disk_stats);
}

std::string Exporter::render()
{
    std::string text;
    text.reserve(8192);  // a typical host's whole text, without regrowing
    render_into(text);
    return text;
}

void Exporter::render_into(std::string& text)
{
    // Each reading is taken just before its families are written; a reading
    // that fails leaves its families out altogether.
    CpuTimes cpu{};
    if (read_cpu_times(cpu))
        append_cpu_families(text, prefix, cpu);
    MemoryUsage memory{};
    if (read_memory_usage(memory))
        append_memory_families(text, prefix, memory);
    SwapUsage swap{};
    if (read_swap_usage(swap))
        append_swap_families(text, prefix, swap);
    LoadAverages load{};
    if (read_load_averages(load))
        append_load_families(text, prefix, load);
    ArcSizes arc{};
    if (read_arc_sizes(arc))
        append_arc_families(text, prefix, arc);

    if (read_disk_samples(*disk_stats, disks))
        append_disk_families(text, prefix, disks);
    if (read_interface_samples(interfaces))
        append_interface_families(text, prefix, interfaces);

    append_build_info(text, prefix, version);
}
