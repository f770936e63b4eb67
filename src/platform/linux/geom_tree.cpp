// libgeom's GEOM tree, built from /sys/block: every block device of non-zero
// size is the provider of its own geom, of class DISK when it is built on no
// other device; its partitions are the providers of a PART geom that consumes
// it; a device built on others (device-mapper, md RAID) consumes what its
// slaves/ directory names and ranks one above the highest of them.

#include <dirent.h>
#include <errno.h>
#include <unistd.h>
#include <libgeom.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "geom_identity.hpp"
#include "platform_files.hpp"

namespace {

constexpr unsigned sector_bytes = 512;  // the unit of every sysfs size

struct BlockDevice {
    std::string name;       // the kernel's name, as /proc/diskstats spells it
    std::string directory;  // below the platform root, e.g. "/sys/block/sda/sda1"
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
    std::uint64_t sectors = 0;
    unsigned sector_size = sector_bytes;
    int whole_device = -1;            // for a partition, the device it divides
    std::vector<std::string> slaves;  // devices this one is built on
    unsigned rank = 0;                // 0 until known
    bool ranking = false;
};

bool read_number_file(const std::string& path, std::uint64_t& value)
{
    char text[64];
    const ssize_t length = read_platform_file(path.c_str(), text, sizeof text);
    if (length <= 0)
        return false;
    TextCursor cursor{text, text + length};
    return parse_u64(cursor, value);
}

// "major:minor\n"
bool read_device_number(const std::string& directory, BlockDevice& device)
{
    char text[64];
    const ssize_t length = read_platform_file((directory + "/dev").c_str(), text, sizeof text);
    if (length <= 0)
        return false;
    TextCursor cursor{text, text + length};
    std::uint64_t major = 0;
    std::uint64_t minor = 0;
    if (!parse_u64(cursor, major) || !skip_word(cursor, ":") || !parse_u64(cursor, minor))
        return false;
    device.major = static_cast<std::uint32_t>(major);
    device.minor = static_cast<std::uint32_t>(minor);
    return true;
}

// sysfs spells a '/' in a device name as '!'.
std::string kernel_name(const char* entry)
{
    std::string name(entry);
    std::replace(name.begin(), name.end(), '!', '/');
    return name;
}

// The entries of a directory below the root, without "." and "..". With
// `directories_only`, entries that are certainly not directories are left out.
bool list_directory(const std::string& directory, std::vector<std::string>& entries,
                    bool directories_only)
{
    char path[4096 + 256];
    if (!platform_path(directory.c_str(), path, sizeof path)) {
        errno = ENAMETOOLONG;
        return false;
    }
    DIR* stream = opendir(path);
    if (stream == nullptr)
        return false;
    while (const struct dirent* entry = readdir(stream)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        if (directories_only && entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN)
            continue;
        entries.emplace_back(entry->d_name);
    }
    closedir(stream);
    return true;
}

bool exists(const std::string& absolute_path)
{
    char path[4096 + 256];
    return platform_path(absolute_path.c_str(), path, sizeof path) && access(path, F_OK) == 0;
}

// Size and number of the device in `directory`; false for a device without
// media (an unattached loop or zram device), which provides nothing.
bool read_device(const std::string& directory, const char* entry, BlockDevice& device)
{
    device.directory = directory;
    device.name = kernel_name(entry);
    return read_number_file(directory + "/size", device.sectors) && device.sectors != 0 &&
           read_device_number(directory, device);
}

void add_partitions(std::vector<BlockDevice>& devices, int whole)
{
    std::vector<std::string> entries;
    if (!list_directory(devices[whole].directory, entries, true))
        return;
    for (const std::string& entry : entries) {
        const std::string directory = devices[whole].directory + "/" + entry;
        if (!exists(directory + "/partition"))
            continue;
        BlockDevice partition;
        if (!read_device(directory, entry.c_str(), partition))
            continue;
        partition.whole_device = whole;
        partition.sector_size = devices[whole].sector_size;
        devices.push_back(std::move(partition));
    }
}

bool collect_devices(std::vector<BlockDevice>& devices)
{
    std::vector<std::string> entries;
    if (!list_directory("/sys/block", entries, false))
        return false;
    for (const std::string& entry : entries) {
        BlockDevice device;
        const std::string directory = "/sys/block/" + entry;
        if (!read_device(directory, entry.c_str(), device))
            continue;
        // Hidden devices (e.g. the per-path halves of NVMe multipath) have no
        // node of their own and are not listed in /proc/partitions.
        std::uint64_t hidden = 0;
        if (read_number_file(directory + "/hidden", hidden) && hidden != 0)
            continue;
        std::uint64_t sector_size = 0;
        if (read_number_file(directory + "/queue/logical_block_size", sector_size) &&
            sector_size != 0)
            device.sector_size = static_cast<unsigned>(sector_size);
        std::vector<std::string> slaves;
        list_directory(directory + "/slaves", slaves, false);
        for (const std::string& slave : slaves)
            device.slaves.push_back(kernel_name(slave.c_str()));
        devices.push_back(std::move(device));
        add_partitions(devices, static_cast<int>(devices.size() - 1));
    }
    return true;
}

int find_device(const std::vector<BlockDevice>& devices, const std::string& name)
{
    for (size_t index = 0; index < devices.size(); ++index)
        if (devices[index].name == name)
            return static_cast<int>(index);
    return -1;
}

unsigned rank_of(std::vector<BlockDevice>& devices, int index)
{
    BlockDevice& device = devices[index];
    if (device.rank != 0)
        return device.rank;
    if (device.ranking)  // a loop cannot exist in a real kernel; cut it
        return 1;
    device.ranking = true;
    unsigned rank = 1;
    if (device.whole_device >= 0)
        rank = rank_of(devices, device.whole_device) + 1;
    else if (!device.slaves.empty()) {
        rank = 2;  // built on something, even if that has no size
        for (const std::string& slave : device.slaves) {
            const int found = find_device(devices, slave);
            if (found >= 0)
                rank = std::max(rank, rank_of(devices, found) + 1);
        }
    }
    device.ranking = false;
    device.rank = rank;
    return rank;
}

// "DM" for dm-0, "MD" for md127: the driver part of a stacked device's name.
std::string stacked_class_name(const std::string& name)
{
    std::string kind;
    for (const char c : name) {
        if (!std::isalpha(static_cast<unsigned char>(c)))
            break;
        kind += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return kind.empty() ? "STACK" : kind;
}

template <typename T> T* allocate()
{
    void* memory = std::calloc(1, sizeof(T));
    if (memory == nullptr)
        throw std::bad_alloc();
    return static_cast<T*>(memory);
}

char* copy_text(const std::string& text)
{
    char* copy = strdup(text.c_str());
    if (copy == nullptr)
        throw std::bad_alloc();
    return copy;
}

// Links every object into the mesh the moment it exists, so that
// geom_deletetree can free a tree left half-built by a failed allocation.
struct MeshBuilder {
    struct gmesh& mesh;
    std::vector<struct gident> idents;

    void remember(void* id, void* object, decltype(gident::lg_what) what)
    {
        idents.push_back(gident{id, object, what});
    }

    struct gclass* class_named(const std::string& name)
    {
        struct gclass* found;
        LIST_FOREACH(found, &mesh.lg_class, lg_class)
        {
            if (name == found->lg_name)
                return found;
        }
        auto* created = allocate<struct gclass>();
        LIST_INSERT_HEAD(&mesh.lg_class, created, lg_class);
        created->lg_id = created;
        created->lg_name = copy_text(name);
        remember(created, created, gident::ISCLASS);
        return created;
    }

    struct ggeom* add_geom(const std::string& class_name, const std::string& name, unsigned rank)
    {
        struct gclass* owner = class_named(class_name);
        auto* geom = allocate<struct ggeom>();
        LIST_INSERT_HEAD(&owner->lg_geom, geom, lg_geom);
        geom->lg_id = geom;
        geom->lg_class = owner;
        geom->lg_name = copy_text(name);
        geom->lg_rank = rank;
        remember(geom, geom, gident::ISGEOM);
        return geom;
    }

    struct gprovider* add_provider(struct ggeom* geom, const BlockDevice& device)
    {
        auto* provider = allocate<struct gprovider>();
        LIST_INSERT_HEAD(&geom->lg_provider, provider, lg_provider);
        provider->lg_id =
            const_cast<void*>(provider_identity(device.major, device.minor, device.name));
        provider->lg_name = copy_text(device.name);
        provider->lg_geom = geom;
        provider->lg_mode = copy_text("r0w0e0");
        provider->lg_mediasize = static_cast<off_t>(device.sectors * sector_bytes);
        provider->lg_sectorsize = device.sector_size;
        remember(provider->lg_id, provider, gident::ISPROVIDER);
        return provider;
    }

    void add_consumer(struct ggeom* geom, struct gprovider* provider)
    {
        auto* consumer = allocate<struct gconsumer>();
        LIST_INSERT_HEAD(&geom->lg_consumer, consumer, lg_consumer);
        consumer->lg_id = consumer;
        consumer->lg_geom = geom;
        consumer->lg_provider = provider;
        consumer->lg_mode = copy_text("r0w0e0");
        LIST_INSERT_HEAD(&provider->lg_consumers, consumer, lg_consumers);
        remember(consumer, consumer, gident::ISCONSUMER);
    }

    void finish()
    {
        idents.push_back(gident{nullptr, nullptr, gident::ISCLASS});
        auto* array =
            static_cast<struct gident*>(std::calloc(idents.size(), sizeof(struct gident)));
        if (array == nullptr)
            throw std::bad_alloc();
        std::copy(idents.begin(), idents.end(), array);
        mesh.lg_ident = array;
    }
};

void build_mesh(std::vector<BlockDevice>& devices, struct gmesh& mesh)
{
    MeshBuilder builder{mesh, {}};
    std::vector<struct gprovider*> providers(devices.size(), nullptr);
    // Whole devices first, so that partitions and stacked devices find the
    // providers they consume.
    for (size_t index = 0; index < devices.size(); ++index) {
        const BlockDevice& device = devices[index];
        if (device.whole_device >= 0)
            continue;
        const std::string class_name =
            device.slaves.empty() ? "DISK" : stacked_class_name(device.name);
        struct ggeom* geom = builder.add_geom(class_name, device.name, device.rank);
        providers[index] = builder.add_provider(geom, device);
    }
    // Partitions follow the device they divide; one PART geom per device.
    struct ggeom* table = nullptr;
    int table_device = -1;
    for (size_t index = 0; index < devices.size(); ++index) {
        const BlockDevice& device = devices[index];
        if (device.whole_device < 0)
            continue;
        if (device.whole_device != table_device) {
            table_device = device.whole_device;
            table = builder.add_geom("PART", devices[table_device].name, device.rank);
            builder.add_consumer(table, providers[table_device]);
        }
        providers[index] = builder.add_provider(table, device);
    }
    for (size_t index = 0; index < devices.size(); ++index) {
        for (const std::string& slave : devices[index].slaves) {
            const int found = find_device(devices, slave);
            if (found >= 0)
                builder.add_consumer(providers[index]->lg_geom, providers[found]);
        }
    }
    builder.finish();
}

void free_config(struct gconf* config)
{
    while (struct gconfig* entry = LIST_FIRST(config)) {
        LIST_REMOVE(entry, lg_config);
        std::free(entry->lg_name);
        std::free(entry->lg_val);
        std::free(entry);
    }
}

}  // namespace

extern "C" int geom_gettree(struct gmesh* mesh)
{
    std::memset(mesh, 0, sizeof *mesh);
    try {
        std::vector<BlockDevice> devices;
        if (!collect_devices(devices))
            return errno != 0 ? errno : EIO;
        for (size_t index = 0; index < devices.size(); ++index)
            rank_of(devices, static_cast<int>(index));
        build_mesh(devices, *mesh);
        return 0;
    } catch (const std::bad_alloc&) {
        geom_deletetree(mesh);
        return ENOMEM;
    }
}

extern "C" void geom_deletetree(struct gmesh* mesh)
{
    while (struct gclass* owner = LIST_FIRST(&mesh->lg_class)) {
        LIST_REMOVE(owner, lg_class);
        while (struct ggeom* geom = LIST_FIRST(&owner->lg_geom)) {
            LIST_REMOVE(geom, lg_geom);
            while (struct gprovider* provider = LIST_FIRST(&geom->lg_provider)) {
                LIST_REMOVE(provider, lg_provider);
                free_config(&provider->lg_config);
                std::free(provider->lg_name);
                std::free(provider->lg_mode);
                std::free(provider);
            }
            while (struct gconsumer* consumer = LIST_FIRST(&geom->lg_consumer)) {
                LIST_REMOVE(consumer, lg_consumer);
                free_config(&consumer->lg_config);
                std::free(consumer->lg_mode);
                std::free(consumer);
            }
            free_config(&geom->lg_config);
            std::free(geom->lg_name);
            std::free(geom);
        }
        free_config(&owner->lg_config);
        std::free(owner->lg_name);
        std::free(owner);
    }
    std::free(mesh->lg_ident);
    mesh->lg_ident = nullptr;
}

extern "C" struct gident* geom_lookupid(struct gmesh* mesh, const void* id)
{
    if (mesh->lg_ident == nullptr)
        return nullptr;
    for (struct gident* entry = mesh->lg_ident; entry->lg_id != nullptr; ++entry)
        if (entry->lg_id == id)
            return entry;
    return nullptr;
}
