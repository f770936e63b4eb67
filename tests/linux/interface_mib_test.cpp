#include <errno.h>
#include <sched.h>
#include <sys/types.h>
#include <sys/socket.h>
#include <sys/sysctl.h>
#include <sys/wait.h>
#include <net/if.h>
#include <net/if_mib.h>
#include <netpacket/packet.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "collect/interface_samples.hpp"

namespace {

using Counters = std::vector<std::uint64_t>;

// The seven counters as InterfaceSample holds them.
Counters counters_of(const InterfaceSample& sample)
{
    return {sample.rx_bytes,  sample.tx_bytes,  sample.rx_packets, sample.tx_packets,
            sample.rx_errors, sample.tx_errors, sample.rx_drops};
}

// /proc/net/dev, the kernel's own text view of the same counters.
std::map<std::string, Counters> read_proc_net_dev()
{
    std::map<std::string, Counters> table;
    FILE* file = std::fopen("/proc/net/dev", "r");
    if (file == nullptr)
        return table;
    char line[512];
    for (int skip = 0; skip < 2; ++skip)
        if (std::fgets(line, sizeof line, file) == nullptr)
            return table;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        char* colon = std::strchr(line, ':');
        if (colon == nullptr)
            continue;
        *colon = '\0';
        char* name = line;
        while (*name == ' ')
            ++name;
        // bytes packets errs drop fifo frame compressed multicast, then transmit
        unsigned long long f[16] = {};
        if (std::sscanf(colon + 1, "%llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu", &f[0],
                        &f[1], &f[2], &f[3], &f[4], &f[5], &f[6], &f[7], &f[8], &f[9],
                        &f[10]) != 11)
            continue;
        table[name] = {f[0], f[8], f[1], f[9], f[2], f[10], f[3]};
    }
    std::fclose(file);
    return table;
}

int sysctl_error(std::vector<int> name, void* buffer, size_t* length)
{
    errno = 0;
    const int result =
        sysctl(name.data(), static_cast<unsigned int>(name.size()), buffer, length, nullptr, 0);
    return result == 0 ? 0 : errno;
}

std::vector<int> data_name(int index, int kind = IFDATA_GENERAL)
{
    return {CTL_NET, PF_LINK, NETLINK_GENERIC, IFMIB_IFDATA, index, kind};
}

const std::vector<int> count_name{CTL_NET, PF_LINK, NETLINK_GENERIC, IFMIB_SYSTEM, IFMIB_IFCOUNT};

TEST(InterfaceMib, AgreesWithProcNetDev)
{
    const auto before = read_proc_net_dev();
    std::vector<InterfaceSample> samples;
    ASSERT_TRUE(read_interface_samples(samples));
    const auto after = read_proc_net_dev();
    ASSERT_FALSE(before.empty());

    unsigned last_index = 0;
    for (const InterfaceSample& sample : samples) {
        SCOPED_TRACE(sample.name);
        ASSERT_TRUE(before.count(sample.name) || after.count(sample.name));
        if (!before.count(sample.name) || !after.count(sample.name))
            continue;  // came or went during the reading
        const Counters counters = counters_of(sample);
        for (size_t i = 0; i < counters.size(); ++i) {
            EXPECT_LE(before.at(sample.name)[i], counters[i]) << "counter " << i;
            EXPECT_LE(counters[i], after.at(sample.name)[i]) << "counter " << i;
        }
        const unsigned index = if_nametoindex(sample.name.c_str());
        EXPECT_GT(index, last_index);
        last_index = index;
    }
    for (const auto& [name, counters] : before) {
        const bool listed = std::any_of(samples.begin(), samples.end(),
                                        [&](const InterfaceSample& s) { return s.name == name; });
        EXPECT_TRUE(listed || !after.count(name)) << name << " missing";
    }
}

TEST(InterfaceMib, AnswersAsFreeBSDDoes)
{
    int highest = 0;
    size_t length = sizeof highest;
    ASSERT_EQ(sysctl_error(count_name, &highest, &length), 0);
    EXPECT_EQ(length, sizeof highest);
    struct if_nameindex* names = if_nameindex();
    ASSERT_NE(names, nullptr);
    unsigned expected_highest = 0;
    for (struct if_nameindex* entry = names; entry->if_index != 0; ++entry)
        expected_highest = std::max(expected_highest, entry->if_index);
    EXPECT_EQ(static_cast<unsigned>(highest), expected_highest);

    const int loopback = static_cast<int>(if_nametoindex("lo"));
    ASSERT_GT(loopback, 0);
    struct ifmibdata data;
    length = sizeof data;
    ASSERT_EQ(sysctl_error(data_name(loopback), &data, &length), 0);
    EXPECT_EQ(length, 208u);
    EXPECT_STREQ(data.ifmd_name, "lo");

    length = 0;
    ASSERT_EQ(sysctl_error(data_name(loopback), nullptr, &length), 0);
    EXPECT_EQ(length, 208u);
    char name_only[IFNAMSIZ];
    length = sizeof name_only;
    EXPECT_EQ(sysctl_error(data_name(loopback), name_only, &length), ENOMEM);
    EXPECT_STREQ(name_only, "lo");

    length = sizeof data;
    EXPECT_EQ(sysctl_error(data_name(0), &data, &length), ENOENT);
    EXPECT_EQ(sysctl_error(data_name(-1), &data, &length), ENOENT);
    EXPECT_EQ(sysctl_error(data_name(loopback, IFDATA_DRIVERNAME), &data, &length), ENOENT);
    if (expected_highest < 0x7fffffff) {
        EXPECT_EQ(sysctl_error(data_name(static_cast<int>(expected_highest) + 1), &data, &length),
                  ENOENT);
    }
    EXPECT_EQ(
        sysctl_error({CTL_NET, PF_LINK, NETLINK_GENERIC, IFMIB_IFDATA, loopback}, &data, &length),
        EINVAL);
    EXPECT_EQ(
        sysctl_error({CTL_NET, PF_LINK, NETLINK_GENERIC, IFMIB_IFDATA, loopback, IFDATA_GENERAL, 0},
                     &data, &length),
        EINVAL);
    EXPECT_EQ(sysctl_error({CTL_NET, PF_LINK, NETLINK_GENERIC, IFMIB_SYSTEM}, &data, &length),
              EINVAL);
    if_freenameindex(names);
}

// What a child in a network namespace of its own reports: an empty text when
// all went well, a reason otherwise.
struct Outcome {
    bool skipped;
    std::string message;
};

constexpr int skip_status = 77;

// Runs `body` in a forked child that has moved into a new, empty network
// namespace, so the test can create and destroy interfaces freely.
Outcome run_in_new_network_namespace(std::string (*body)())
{
    int channel[2];
    if (pipe(channel) != 0)
        return {false, "pipe failed"};
    const pid_t child = fork();
    if (child < 0)
        return {false, "fork failed"};
    if (child == 0) {
        close(channel[0]);
        alarm(30);
        std::string message;
        int status = 1;
        if (unshare(CLONE_NEWNET) != 0) {
            message = std::string("cannot create a network namespace (needs CAP_NET_ADMIN): ") +
                      std::strerror(errno);
            status = skip_status;
        } else {
            message = body();
            status = message.empty() ? 0 : message.rfind("skip: ", 0) == 0 ? skip_status : 1;
        }
        (void)!write(channel[1], message.data(), message.size());
        _exit(status);
    }
    close(channel[1]);
    std::string message;
    char buffer[512];
    ssize_t got;
    while ((got = read(channel[0], buffer, sizeof buffer)) > 0)
        message.append(buffer, static_cast<size_t>(got));
    close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return {false, ""};
    if (WIFEXITED(status) && WEXITSTATUS(status) == skip_status)
        return {true, message};
    return {false, message.empty() ? "child died" : message};
}

// Runs an iproute2 command in the child's namespace.
bool ip(const std::string& arguments)
{
    return std::system(("ip " + arguments + " >/dev/null 2>&1").c_str()) == 0;
}

// Frames sent before the kernel has noticed the carrier are dropped before
// any counter sees them.
bool wait_until_running(const std::string& name)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (std::system(("ip -o link show " + name + " | grep -q 'state UP'").c_str()) == 0)
            return true;
        usleep(20000);
    }
    return false;
}

// No IPv6 neighbour discovery on new links, so the only traffic is ours.
void quiet_new_links()
{
    if (FILE* file = std::fopen("/proc/sys/net/ipv6/conf/default/disable_ipv6", "w")) {
        std::fputs("1\n", file);
        std::fclose(file);
    }
}

const InterfaceSample* find(const std::vector<InterfaceSample>& samples, const char* name)
{
    for (const InterfaceSample& sample : samples)
        if (sample.name == name)
            return &sample;
    return nullptr;
}

std::string names_of(const std::vector<InterfaceSample>& samples)
{
    std::string names;
    for (const InterfaceSample& sample : samples)
        names += sample.name + " ";
    return names;
}

constexpr int frame_count = 5;
constexpr size_t frame_size = 100;

std::string send_frames_over_veth()
{
    quiet_new_links();
    if (!ip("link add ka type veth peer name kb"))
        return "skip: cannot create a veth pair (no iproute2 or no veth support)";
    if (!ip("link set ka up") || !ip("link set kb up"))
        return "cannot bring the veth pair up";
    if (!wait_until_running("ka") || !wait_until_running("kb"))
        return "the veth pair has no carrier";

    std::vector<InterfaceSample> before;
    if (!read_interface_samples(before) || !find(before, "ka") || !find(before, "kb"))
        return "veth pair not listed: " + names_of(before);

    const int raw = socket(AF_PACKET, SOCK_RAW, 0);
    if (raw < 0)
        return std::string("packet socket: ") + std::strerror(errno);
    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_ifindex = static_cast<int>(if_nametoindex("ka"));
    to.sll_halen = 6;
    std::memset(to.sll_addr, 0xff, 6);
    unsigned char frame[frame_size] = {};
    std::memset(frame, 0xff, 6);         // broadcast
    frame[6] = 0x02;                     // locally administered source
    frame[12] = 0x88, frame[13] = 0xb5;  // local experimental EtherType
    for (int i = 0; i < frame_count; ++i)
        if (sendto(raw, frame, sizeof frame, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) !=
            static_cast<ssize_t>(sizeof frame))
            return std::string("send: ") + std::strerror(errno);
    close(raw);

    std::vector<InterfaceSample> after;
    if (!read_interface_samples(after) || !find(after, "ka") || !find(after, "kb"))
        return "veth pair not listed after sending: " + names_of(after);
    const InterfaceSample& sent_before = *find(before, "ka");
    const InterfaceSample& sent_after = *find(after, "ka");
    const InterfaceSample& received_before = *find(before, "kb");
    const InterfaceSample& received_after = *find(after, "kb");
    const std::string counts = " (ka tx " + std::to_string(sent_after.tx_packets) + "/" +
                               std::to_string(sent_after.tx_bytes) + ", kb rx " +
                               std::to_string(received_after.rx_packets) + "/" +
                               std::to_string(received_after.rx_bytes) + ")";
    if (sent_after.tx_packets - sent_before.tx_packets != frame_count ||
        sent_after.tx_bytes - sent_before.tx_bytes != frame_count * frame_size)
        return "sent frames not counted on ka" + counts;
    if (received_after.rx_packets - received_before.rx_packets != frame_count ||
        received_after.rx_bytes - received_before.rx_bytes != frame_count * frame_size)
        return "received frames not counted on kb" + counts;
    return "";
}

std::string walk_skips_deleted_interfaces()
{
    quiet_new_links();
    std::vector<InterfaceSample> samples;
    if (!read_interface_samples(samples) || names_of(samples) != "lo ")
        return "a new namespace should list its loopback alone: " + names_of(samples);

    if (!ip("link add ga type veth peer name gb") || !ip("link add gc type veth peer name gd"))
        return "skip: cannot create veth pairs (no iproute2 or no veth support)";
    const int gone_first = static_cast<int>(if_nametoindex("ga"));
    const int gone_second = static_cast<int>(if_nametoindex("gb"));
    if (!ip("link del ga"))
        return "cannot delete ga";
    if (if_nametoindex("gb") != 0)
        return "deleting ga left its peer behind";

    int highest = 0;
    size_t length = sizeof highest;
    if (sysctl(count_name.data(), 5, &highest, &length, nullptr, 0) != 0)
        return "count read failed";
    const int expected_highest =
        static_cast<int>(std::max(if_nametoindex("gc"), if_nametoindex("gd")));
    if (highest != expected_highest)
        return "count " + std::to_string(highest) + ", expected " +
               std::to_string(expected_highest);
    struct ifmibdata data;
    for (const int gone : {gone_first, gone_second}) {
        length = sizeof data;
        if (sysctl(data_name(gone).data(), 6, &data, &length, nullptr, 0) == 0 || errno != ENOENT)
            return "deleted index " + std::to_string(gone) + " still answers";
    }

    if (!read_interface_samples(samples))
        return "reading failed after the deletion";
    const std::string expected =
        if_nametoindex("gc") < if_nametoindex("gd") ? "lo gc gd " : "lo gd gc ";
    if (names_of(samples) != expected)
        return "listed " + names_of(samples) + ", expected " + expected;
    return "";
}

void expect_success(const Outcome& outcome)
{
    if (outcome.skipped)
        GTEST_SKIP() << outcome.message;
    EXPECT_EQ(outcome.message, "");
}

TEST(InterfaceMibInNamespace, VethTrafficIsCounted)
{
    expect_success(run_in_new_network_namespace(send_frames_over_veth));
}

TEST(InterfaceMibInNamespace, WalkSkipsDeletedInterfaces)
{
    expect_success(run_in_new_network_namespace(walk_skips_deleted_interfaces));
}

}  // namespace
