#include <errno.h>
#include <libgeom.h>

// Placeholder until the GEOM tree is built from /sys/block: no tree, no disks.
extern "C" int geom_gettree(struct gmesh* mesh)
{
    mesh->lg_ident = nullptr;
    return ENOENT;
}
extern "C" void geom_deletetree(struct gmesh* mesh)
{
    mesh->lg_ident = nullptr;
}
extern "C" struct gident* geom_lookupid(struct gmesh*, const void*)
{
    return nullptr;
}
extern "C" int geom_stats_open(void)
{
    return ENOENT;
}
extern "C" void geom_stats_close(void) {}
extern "C" void* geom_stats_snapshot_get(void)
{
    return nullptr;
}
extern "C" void geom_stats_snapshot_free(void*) {}
extern "C" void geom_stats_snapshot_reset(void*) {}
extern "C" struct devstat* geom_stats_snapshot_next(void*)
{
    return nullptr;
}
