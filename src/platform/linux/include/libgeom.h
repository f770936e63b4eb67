// FreeBSD's libgeom: the GEOM tree and the device statistics, answered on
// Linux from /sys/block and /proc/diskstats.
#ifndef KELMAR_LINUX_LIBGEOM_H
#define KELMAR_LINUX_LIBGEOM_H

#include <sys/queue.h>
#include <sys/time.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

struct devstat;
struct gclass;
struct ggeom;
struct gconsumer;
struct gprovider;

LIST_HEAD(gconf, gconfig);

struct gident {
    void* lg_id;   // the kernel's identity of the object
    void* lg_ptr;  // the gclass, ggeom, gprovider or gconsumer
    enum { ISCLASS, ISGEOM, ISPROVIDER, ISCONSUMER } lg_what;
};

struct gmesh {
    LIST_HEAD(, gclass) lg_class;
    struct gident* lg_ident;  // ends with an entry whose lg_id is null
};

struct gconfig {
    LIST_ENTRY(gconfig) lg_config;
    char* lg_name;
    char* lg_val;
};

struct gclass {
    void* lg_id;
    char* lg_name;
    LIST_ENTRY(gclass) lg_class;
    LIST_HEAD(, ggeom) lg_geom;
    struct gconf lg_config;
};

struct ggeom {
    void* lg_id;
    struct gclass* lg_class;
    char* lg_name;
    unsigned int lg_rank;  // 1 for a geom that consumes no other provider
    LIST_ENTRY(ggeom) lg_geom;
    LIST_HEAD(, gconsumer) lg_consumer;
    LIST_HEAD(, gprovider) lg_provider;
    struct gconf lg_config;
};

struct gconsumer {
    void* lg_id;
    struct ggeom* lg_geom;
    LIST_ENTRY(gconsumer) lg_consumer;
    struct gprovider* lg_provider;
    LIST_ENTRY(gconsumer) lg_consumers;
    char* lg_mode;
    struct gconf lg_config;
};

struct gprovider {
    void* lg_id;
    char* lg_name;  // "sda", without "/dev/"
    struct ggeom* lg_geom;
    LIST_ENTRY(gprovider) lg_provider;
    LIST_HEAD(, gconsumer) lg_consumers;
    char* lg_mode;
    off_t lg_mediasize;
    unsigned int lg_sectorsize;
    off_t lg_stripeoffset;
    off_t lg_stripesize;
    struct gconf lg_config;
};

// 0 on success, otherwise an errno value (not -1).
int geom_gettree(struct gmesh* mesh);
void geom_deletetree(struct gmesh* mesh);
struct gident* geom_lookupid(struct gmesh* mesh, const void* id);

int geom_stats_open(void);  // 0, or an errno value; EBUSY when already open
void geom_stats_close(void);
// Maps the statistics again, taking in pages of records the kernel added
// since they were opened or last resynced; a snapshot holds only the pages
// mapped. FreeBSD's ends the process (err(1)) if its ioctl or mmap fails.
void geom_stats_resync(void);
void* geom_stats_snapshot_get(void);  // null only when out of memory
void geom_stats_snapshot_free(void* snapshot);
void geom_stats_snapshot_timestamp(void* snapshot, struct timespec* when);
void geom_stats_snapshot_reset(void* snapshot);
struct devstat* geom_stats_snapshot_next(void* snapshot);  // null at the end

#ifdef __cplusplus
}

#include <cstddef>
static_assert(sizeof(struct gident) == 24, "gident is 24 bytes on FreeBSD/amd64");
static_assert(offsetof(struct gident, lg_what) == 16, "lg_what sits at byte 16");
static_assert(sizeof(struct gmesh) == 16, "gmesh is 16 bytes on FreeBSD/amd64");
static_assert(sizeof(struct gclass) == 48, "gclass is 48 bytes on FreeBSD/amd64");
static_assert(sizeof(struct ggeom) == 72, "ggeom is 72 bytes on FreeBSD/amd64");
static_assert(offsetof(struct ggeom, lg_rank) == 24, "lg_rank sits at byte 24");
static_assert(sizeof(struct gprovider) == 96, "gprovider is 96 bytes on FreeBSD/amd64");
static_assert(offsetof(struct gprovider, lg_geom) == 16, "lg_geom sits at byte 16");
static_assert(offsetof(struct gprovider, lg_mediasize) == 56, "lg_mediasize sits at byte 56");
static_assert(sizeof(struct gconsumer) == 72, "gconsumer is 72 bytes on FreeBSD/amd64");
#endif

#endif
