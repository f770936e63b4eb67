#pragma once

// What the system reads the disk statistics from, to name in a diagnostic
// when it cannot: on FreeBSD the statistics device that libgeom maps (which
// a jail's devfs ruleset may hide), on Linux /proc/diskstats.
extern const char* const disk_statistics_path;
