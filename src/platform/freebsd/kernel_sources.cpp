#include <sys/types.h>
#include <sys/devicestat.h>
#include <paths.h>

#include "platform/kernel_sources.hpp"

const char* const disk_statistics_path = _PATH_DEV DEVSTAT_DEVICE_NAME;
