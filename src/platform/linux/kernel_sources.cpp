#include "platform/kernel_sources.hpp"

const char* const disk_statistics_path = "/proc/diskstats";
