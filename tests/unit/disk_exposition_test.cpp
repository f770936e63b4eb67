#include <errno.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/exporter.hpp"
#include "exposition/exposition.hpp"
#include "fake_geom.hpp"
#include "fake_kernel.hpp"

namespace {

const char* const empty_disk_families =
    "# HELP p_disk_read_bytes_total Bytes read per disk.\n"
    "# TYPE p_disk_read_bytes_total counter\n"
    "# HELP p_disk_write_bytes_total Bytes written per disk.\n"
    "# TYPE p_disk_write_bytes_total counter\n"
    "# HELP p_disk_read_ops_total Read operations per disk.\n"
    "# TYPE p_disk_read_ops_total counter\n"
    "# HELP p_disk_write_ops_total Write operations per disk.\n"
    "# TYPE p_disk_write_ops_total counter\n"
    "# HELP p_disk_busy_seconds_total Time the disk was busy, in seconds.\n"
    "# TYPE p_disk_busy_seconds_total counter\n";

TEST(DiskExposition, EachFamilyListsEveryDiskBeforeTheNextFamilyStarts)
{
    std::string text;
    append_disk_families(text, "p",
                         {DiskSample{"A", 1, 2, 3, 4, 0.5}, DiskSample{"B", 10, 20, 30, 40, 7}});
    EXPECT_EQ(text, "# HELP p_disk_read_bytes_total Bytes read per disk.\n"
                    "# TYPE p_disk_read_bytes_total counter\n"
                    "p_disk_read_bytes_total{device=\"A\"} 1\n"
                    "p_disk_read_bytes_total{device=\"B\"} 10\n"
                    "# HELP p_disk_write_bytes_total Bytes written per disk.\n"
                    "# TYPE p_disk_write_bytes_total counter\n"
                    "p_disk_write_bytes_total{device=\"A\"} 2\n"
                    "p_disk_write_bytes_total{device=\"B\"} 20\n"
                    "# HELP p_disk_read_ops_total Read operations per disk.\n"
                    "# TYPE p_disk_read_ops_total counter\n"
                    "p_disk_read_ops_total{device=\"A\"} 3\n"
                    "p_disk_read_ops_total{device=\"B\"} 30\n"
                    "# HELP p_disk_write_ops_total Write operations per disk.\n"
                    "# TYPE p_disk_write_ops_total counter\n"
                    "p_disk_write_ops_total{device=\"A\"} 4\n"
                    "p_disk_write_ops_total{device=\"B\"} 40\n"
                    "# HELP p_disk_busy_seconds_total Time the disk was busy, in seconds.\n"
                    "# TYPE p_disk_busy_seconds_total counter\n"
                    "p_disk_busy_seconds_total{device=\"A\"} 0.5\n"
                    "p_disk_busy_seconds_total{device=\"B\"} 7\n");
}

TEST(DiskExposition, NoDisksStillGivesTheFiveFamilyHeads)
{
    std::string text;
    append_disk_families(text, "p", {});
    EXPECT_EQ(text, empty_disk_families);
}

TEST(DiskExposition, ADeviceNameCannotBreakOutOfItsLabel)
{
    std::string text;
    append_disk_families(text, "p", {DiskSample{"a\"b\\c\nd", 1, 0, 0, 0, 0}});
    EXPECT_NE(text.find("p_disk_read_bytes_total{device=\"a\\\"b\\\\c\\nd\"} 1\n"),
              std::string::npos);
    EXPECT_EQ(text.find("\nd\""), std::string::npos);
}

struct ExporterDisks : ::testing::Test {
    void SetUp() override
    {
        fake_kernel::reset();
        fake_geom::reset();
    }
    void TearDown() override
    {
        fake_geom::reset();
    }
};

TEST_F(ExporterDisks, DiskFamiliesFollowTheHandle)
{
    const void* ada0 = fake_geom::add_provider("ada0", 1);
    fake_geom::queue_snapshot({fake_geom::record(ada0, 512)});
    {
        Exporter exporter("p", "0123abcd");
        const std::string text = exporter.render();
        EXPECT_NE(text.find("p_disk_read_bytes_total{device=\"ada0\"} 512\n"), std::string::npos);
        EXPECT_NE(text.find("p_disk_busy_seconds_total{device=\"ada0\"} 0\n"), std::string::npos);
    }
    EXPECT_EQ(fake_geom::counts().stats_close, 1);
    EXPECT_EQ(fake_geom::counts().live_trees, 0);
}

TEST_F(ExporterDisks, AHandleThatIsNotReadyLeavesTheDiskFamiliesOut)
{
    fake_geom::add_provider("ada0", 1);
    fake_geom::set_stats_open_error(ENXIO);
    Exporter exporter("p", "0123abcd");
    for (int scrape = 0; scrape < 2; ++scrape) {
        const std::string text = exporter.render();
        EXPECT_EQ(text.find("_disk_"), std::string::npos);
        EXPECT_NE(text.find("p_build_info{version=\"0123abcd\"} 1\n"), std::string::npos);
    }
}

}  // namespace
