// FreeBSD's per-device I/O statistics record, as libgeom's snapshots hold it.
#ifndef KELMAR_LINUX_SYS_DEVICESTAT_H
#define KELMAR_LINUX_SYS_DEVICESTAT_H

#include <stdint.h>
#include <sys/queue.h>
#include <sys/time.h>

#define DEVSTAT_VERSION 6
#define DEVSTAT_NAME_LEN 16
#define DEVSTAT_N_TRANS_FLAGS 4

typedef enum {
    DEVSTAT_NO_DATA = 0x00,
    DEVSTAT_READ = 0x01,
    DEVSTAT_WRITE = 0x02,
    DEVSTAT_FREE = 0x03
} devstat_trans_flags;

typedef enum { DEVSTAT_ALL_SUPPORTED = 0x00 } devstat_support_flags;
typedef enum { DEVSTAT_TYPE_DIRECT = 0x000 } devstat_type_flags;
typedef enum { DEVSTAT_PRIORITY_MIN = 0x000 } devstat_priority;

struct devstat {
    unsigned int sequence0;  // bumped last by a writer
    int allocated;
    unsigned int start_count;
    unsigned int end_count;
    struct bintime busy_from;
    STAILQ_ENTRY(devstat) dev_links;
    uint32_t device_number;
    char device_name[DEVSTAT_NAME_LEN];
    int unit_number;
    uint64_t bytes[DEVSTAT_N_TRANS_FLAGS];
    uint64_t operations[DEVSTAT_N_TRANS_FLAGS];
    struct bintime duration[DEVSTAT_N_TRANS_FLAGS];
    struct bintime busy_time;
    struct bintime creation_time;
    uint32_t block_size;
    uint64_t tag_types[3];
    devstat_support_flags flags;
    devstat_type_flags device_type;
    devstat_priority priority;
    const void* id;          // the GEOM provider this record belongs to, or null
    unsigned int sequence1;  // bumped first by a writer
};

#ifdef __cplusplus
#include <cstddef>
static_assert(sizeof(struct devstat) == 288, "devstat is 288 bytes on FreeBSD/amd64");
static_assert(4096 / sizeof(struct devstat) == 14,
              "the kernel keeps 14 records to a 4 KiB page of /dev/devstat");
static_assert(offsetof(struct devstat, bytes) == 64, "bytes[] sits at byte 64");
static_assert(offsetof(struct devstat, operations) == 96, "operations[] sits at byte 96");
static_assert(offsetof(struct devstat, busy_time) == 192, "busy_time sits at byte 192");
static_assert(offsetof(struct devstat, block_size) == 224, "block_size sits at byte 224");
static_assert(offsetof(struct devstat, tag_types) == 232, "tag_types sits at byte 232");
static_assert(offsetof(struct devstat, id) == 272, "id sits at byte 272");
static_assert(offsetof(struct devstat, sequence1) == 280, "sequence1 sits at byte 280");
#endif

#endif
