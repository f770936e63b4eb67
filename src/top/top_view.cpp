#include "top/top_view.hpp"

#include <errno.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "collect/disk_samples.hpp"
#include "collect/interface_samples.hpp"
#include "collect/scalar_readings.hpp"
#include "top/refresh.hpp"

namespace {

volatile sig_atomic_t top_stop_requested = 0;

void on_top_stop_signal(int)
{
    top_stop_requested = 1;
}

double monotonic_seconds()
{
    // Zeroed first: a failed call reads as time 0.
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

template <typename Record> std::optional<Record> read_record(bool (*reader)(Record&))
{
    Record record{};
    if (!reader(record))
        return std::nullopt;
    return record;
}

void read_device_lists(GeomStatsHandle& disk_stats, RefreshReadings& readings)
{
    std::vector<DiskSample> disks;
    if (read_disk_samples(disk_stats, disks))
        readings.disks = std::move(disks);
    std::vector<InterfaceSample> interfaces;
    if (read_interface_samples(interfaces))
        readings.interfaces = std::move(interfaces);
}

RefreshReadings read_baseline(GeomStatsHandle& disk_stats)
{
    RefreshReadings readings;
    readings.cpu = read_record(read_cpu_times);
    read_device_lists(disk_stats, readings);
    return readings;
}

RefreshReadings read_refresh(GeomStatsHandle& disk_stats, bool with_cpu)
{
    RefreshReadings readings;
    if (with_cpu)
        readings.cpu = read_record(read_cpu_times);
    readings.memory = read_record(read_memory_usage);
    readings.load = read_record(read_load_averages);
    readings.swap = read_record(read_swap_usage);
    readings.arc = read_record(read_arc_sizes);
    read_device_lists(disk_stats, readings);
    return readings;
}

// The window of the terminal that standard output is, read anew for every
// frame so that a resize is followed without a SIGWINCH handler. None for a
// pipe or a file, or a terminal that reports no size: every line is written.
std::optional<WindowSize> window_size()
{
    struct winsize size {};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_row == 0 || size.ws_col == 0)
        return std::nullopt;
    return WindowSize{size.ws_row, size.ws_col};
}

// In one write where the output takes it whole (stdio would split a large
// frame), so that a slow link never shows part of a frame over the last.
void write_frame(const std::string& frame)
{
    const char* at = frame.data();
    std::size_t left = frame.size();
    while (left > 0) {
        const ssize_t written = write(STDOUT_FILENO, at, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        at += written;
        left -= static_cast<std::size_t>(written);
    }
}

}  // namespace

int run_top_view()
{
    signal(SIGINT, on_top_stop_signal);
    signal(SIGTERM, on_top_stop_signal);

    // A handle that is not ready only means no disk table is ever shown.
    std::unique_ptr<GeomStatsHandle> disk_stats = open_geom_stats();
    TopState state;
    const RefreshReadings baseline = read_baseline(*disk_stats);
    take_baseline(state, baseline, monotonic_seconds());

    const struct timespec refresh_interval = {1, 0};
    while (top_stop_requested == 0) {
        // A stop signal cuts the sleep short; the result says nothing more.
        nanosleep(&refresh_interval, nullptr);
        if (top_stop_requested != 0)
            break;
        const double now = monotonic_seconds();
        const RefreshReadings readings = read_refresh(*disk_stats, state.have_cpu_baseline);
        write_frame(refresh_frame(state, readings, now, window_size()));
    }

    std::fputc('\n', stdout);
    std::fflush(stdout);
    state.previous_interfaces.clear();
    state.previous_disks.clear();
    close_geom_stats(disk_stats);
    return 0;
}
