#include <gtest/gtest.h>

#include <string>

#include "exposition/exposition.hpp"

namespace {

TEST(Exposition, ScalarFamiliesHaveTheirExactText)
{
    std::string text;
    append_cpu_families(text, "kelmar_host", CpuTimes{12.5, 0, 3, 0.25, 1000});
    append_memory_families(text, "kelmar_host", MemoryUsage{17179869184, 0});
    append_swap_families(text, "kelmar_host", SwapUsage{0, 0});
    append_load_families(text, "kelmar_host", LoadAverages{2, 0.5, 1e-05});
    append_arc_families(text, "kelmar_host", ArcSizes{18446744073709551615u, 0});
    append_build_info(text, "kelmar_host", "0a1b2c3d");
    EXPECT_EQ(text, R"(# HELP kelmar_host_cpu_seconds_total CPU time spent per mode, in seconds.
# TYPE kelmar_host_cpu_seconds_total counter
kelmar_host_cpu_seconds_total{mode="user"} 12.5
kelmar_host_cpu_seconds_total{mode="nice"} 0
kelmar_host_cpu_seconds_total{mode="system"} 3
kelmar_host_cpu_seconds_total{mode="interrupt"} 0.25
kelmar_host_cpu_seconds_total{mode="idle"} 1000
# HELP kelmar_host_memory_total_bytes Total physical memory, in bytes.
# TYPE kelmar_host_memory_total_bytes gauge
kelmar_host_memory_total_bytes 17179869184
# HELP kelmar_host_memory_used_bytes Used physical memory (total - free), in bytes.
# TYPE kelmar_host_memory_used_bytes gauge
kelmar_host_memory_used_bytes 0
# HELP kelmar_host_swap_total_bytes Total swap, in bytes.
# TYPE kelmar_host_swap_total_bytes gauge
kelmar_host_swap_total_bytes 0
# HELP kelmar_host_swap_used_bytes Used swap, in bytes.
# TYPE kelmar_host_swap_used_bytes gauge
kelmar_host_swap_used_bytes 0
# HELP kelmar_host_load1 1-minute load average.
# TYPE kelmar_host_load1 gauge
kelmar_host_load1 2
# HELP kelmar_host_load5 5-minute load average.
# TYPE kelmar_host_load5 gauge
kelmar_host_load5 0.5
# HELP kelmar_host_load15 15-minute load average.
# TYPE kelmar_host_load15 gauge
kelmar_host_load15 1e-05
# HELP kelmar_host_zfs_arc_size_bytes Current ZFS ARC size, in bytes.
# TYPE kelmar_host_zfs_arc_size_bytes gauge
kelmar_host_zfs_arc_size_bytes 18446744073709551615
# HELP kelmar_host_zfs_arc_c_max_bytes ZFS ARC target maximum, in bytes.
# TYPE kelmar_host_zfs_arc_c_max_bytes gauge
kelmar_host_zfs_arc_c_max_bytes 0
# HELP kelmar_host_build_info Build information (value is always 1).
# TYPE kelmar_host_build_info gauge
kelmar_host_build_info{version="0a1b2c3d"} 1
)");
}

TEST(Exposition, DoublesAreWrittenInTheirShortestRoundTripForm)
{
    const auto cpu_user = [](double seconds) {
        std::string text;
        append_cpu_families(text, "p", CpuTimes{seconds, 0, 0, 0, 0});
        const auto start = text.find("{mode=\"user\"} ") + 14;
        return text.substr(start, text.find('\n', start) - start);
    };
    EXPECT_EQ(cpu_user(35.160000000000004), "35.160000000000004");
    EXPECT_EQ(cpu_user(1.0 / 3), "0.3333333333333333");
    EXPECT_EQ(cpu_user(123456789.0), "123456789");
    EXPECT_EQ(cpu_user(1e21), "1e+21");
    EXPECT_EQ(cpu_user(0.0001), "0.0001");
    EXPECT_EQ(cpu_user(1.5e-07), "1.5e-07");
}

TEST(Exposition, EmptyPrefixStartsEveryNameWithAnUnderscore)
{
    std::string text;
    append_load_families(text, "", LoadAverages{1, 2, 3});
    EXPECT_EQ(text.substr(0, text.find('\n', text.find('\n') + 1) + 1),
              "# HELP _load1 1-minute load average.\n# TYPE _load1 gauge\n");
    EXPECT_NE(text.find("\n_load15 3\n"), std::string::npos);
}

TEST(Exposition, LabelValuesAreEscaped)
{
    std::string text;
    append_build_info(text, "p", "a\\b\"c\nd");
    EXPECT_NE(text.find("p_build_info{version=\"a\\\\b\\\"c\\nd\"} 1\n"), std::string::npos)
        << text;
}

TEST(Exposition, MetricsPrefixMustKeepNamesValid)
{
    for (const char* good : {"", "kelmar_host", "_", ":a", "Node_exporter:x9"})
        EXPECT_TRUE(is_valid_metrics_prefix(good)) << good;
    for (const char* bad : {"kelmar-host", "9host", "host name", "host\n", "é"})
        EXPECT_FALSE(is_valid_metrics_prefix(bad)) << bad;
}

}  // namespace
