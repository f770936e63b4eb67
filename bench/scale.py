"""The benchmark on a large host: many interfaces and many disks.

Builds the host it measures, as root: veth pairs in network namespaces of its
own and loop devices on small sparse files. The process enters the main
namespace itself, so every server, scraper and helper it starts runs there.
Everything made is undone on the way out, whether the run ends, fails or is
interrupted.
"""

import ctypes
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile

import benchkit

SKIPPED = 77  # ctest's conventional "skipped" status
CLONE_NEWNET = 0x40000000


class Host:
    """The namespaces and loop devices of one run, and their removal."""

    def __init__(self):
        self.tag = "kelmar-scale-%d" % os.getpid()
        self.namespaces = []
        self.loops = []
        self.files = tempfile.mkdtemp(prefix="kelmar-scale-")

    def namespace(self, suffix, interfaces):
        """A namespace with the loopback interface and veth pairs up to `interfaces`."""
        name = "%s-%s" % (self.tag, suffix)
        if subprocess.run(["ip", "netns", "add", name], capture_output=True).returncode != 0:
            return None
        self.namespaces.append(name)
        pairs = (interfaces - 1) // 2
        batch = "".join("link add ks%da type veth peer name ks%db\n" % (i, i)
                        for i in range(pairs))
        batch += "link set lo up\n"
        result = subprocess.run(["ip", "-n", name, "-batch", "-"], input=batch, text=True,
                                capture_output=True)
        return name if result.returncode == 0 else None

    def attach_loops(self, count):
        for i in range(len(self.loops), count):
            path = os.path.join(self.files, "disk%d" % i)
            with open(path, "wb") as f:
                f.truncate(1 << 20)
            # Another process may take the free device first: ask again.
            for _ in range(5):
                result = subprocess.run(["losetup", "--find", "--show", path],
                                        capture_output=True, text=True)
                if result.returncode == 0:
                    self.loops.append(result.stdout.strip())
                    break
            else:
                return False
        return True

    def detach_loops(self, keep=0):
        while len(self.loops) > keep:
            subprocess.run(["losetup", "-d", self.loops.pop()], capture_output=True)

    def remove(self):
        # A second interrupt must not cut the clean-up short.
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(number, signal.SIG_IGN)
        self.detach_loops()
        for name in self.namespaces:
            subprocess.run(["ip", "netns", "del", name], capture_output=True)
        self.namespaces = []
        shutil.rmtree(self.files, ignore_errors=True)


def enter_namespace(name):
    libc = ctypes.CDLL(None, use_errno=True)
    fd = os.open("/run/netns/" + name, os.O_RDONLY)
    try:
        if libc.setns(fd, CLONE_NEWNET) != 0:
            raise OSError(ctypes.get_errno(), "setns " + name)
    finally:
        os.close(fd)


def why_not():
    """Why this machine cannot build the large host, or None."""
    if os.geteuid() != 0:
        return "needs root"
    for tool in ("ip", "losetup"):
        if shutil.which(tool) is None:
            return tool + " is not installed"
    if not os.path.exists("/dev/loop-control"):
        return "no loop devices (/dev/loop-control)"
    return None


def minor_faults(pid):
    with open("/proc/%d/stat" % pid) as stat:
        return int(stat.read().rsplit(")", 1)[1].split()[7])


def render_us(build, namespace):
    results = benchkit.render_benchmark(os.path.join(build, "bench", "render_benchmark"), namespace)
    return results.get("render_with_linux_layer")


def bare_reads_us(build, namespace, files):
    """CPU time, as the render benchmark reports it: less noisy on a shared machine."""
    out = subprocess.run(["ip", "netns", "exec", namespace,
                          os.path.join(build, "bench", "floor"), "read", "50"] + files,
                         capture_output=True, text=True)
    return float(out.stdout.split()[1]) / 1000 if out.returncode == 0 else None


def costs(times, reads, zero):
    """Per-device cost at each size: in all, and above the bare reads."""
    cells = []
    for n in sorted(times):
        if n == zero:
            continue
        total = (times[n] - times[zero]) / (n - zero)
        own = ((times[n] - reads[n]) - (times[zero] - reads[zero])) / (n - zero)
        cells.append("%d: %.2f (%.2f) us" % (n, total, own))
    return ", ".join(cells)


def stop_on_signals():
    def stop(number, frame):
        raise KeyboardInterrupt("signal %d" % number)
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, stop)


def measure(args, host, table, sizes):
    build = os.path.abspath(args.build_dir)
    ours_binary = os.path.join(build, "kelmar-host-perfdata")
    floor = os.path.join(build, "bench", "floor")
    quick = args.quick
    interfaces, disks = sizes["interfaces"], sizes["disks"]

    main_ns = host.namespace("main", interfaces)
    if main_ns is None or not host.attach_loops(disks):
        print("skipped: cannot build the namespace or attach loop devices", file=sys.stderr)
        return SKIPPED
    enter_namespace(main_ns)

    scrapes, rounds = (5, 1) if quick else (30, 5)
    servers = []
    try:
        port = benchkit.free_port()
        ours = benchkit.Server("ours", [ours_binary, "-l", "127.0.0.1:%d" % port], port)
        servers.append(ours)
        samples, body_bytes = benchkit.samples_and_bytes(ours.port)

        peer = None
        node_exporter = shutil.which("prometheus-node-exporter")
        if node_exporter:
            port = benchkit.free_port()
            peer = benchkit.Server("peer", [node_exporter, "--web.listen-address=127.0.0.1:%d" % port,
                                         "--collector.disable-defaults"] +
                                ["--collector." + c for c in
                                 ("cpu", "meminfo", "loadavg", "diskstats", "netdev")], port)
            servers.append(peer)
        port = benchkit.free_port()
        floor_server = benchkit.Server("floor", [floor, "serve", str(port), str(body_bytes)], port)
        servers.append(floor_server)

        files = benchkit.files_read_by_one_scrape(ours, floor) or []

        # Steady state first: the buffers have their size after the first scrapes.
        benchkit.scrape_latencies(floor, ours.port, 20)
        faults_before = minor_faults(ours.pid)
        latencies = {s.name: [] for s in servers}
        cpu_before = {s.name: benchkit.cpu_ns(s.pid) for s in servers}
        # The floor's reads take their turn in every round too: at this size
        # they are most of the floor, and the machine's load drifts.
        reads = []
        for _ in range(rounds):
            for server in servers:
                latencies[server.name] += benchkit.scrape_latencies(floor, server.port, scrapes)[0]
            if files:
                reads.append(float(subprocess.run(
                    [floor, "read", str(scrapes)] + files, capture_output=True, text=True,
                    check=True).stdout.split()[0]))
        faults = (minor_faults(ours.pid) - faults_before) / (rounds * scrapes)
        cpu = {s.name: (benchkit.cpu_ns(s.pid) - cpu_before[s.name]) / (rounds * scrapes)
               for s in servers}
        floor_read_ns = statistics.median(reads) if reads else None
        median = {name: statistics.median(values) for name, values in latencies.items()}
        p99 = {name: benchkit.percentile(values, 0.99) for name, values in latencies.items()}

        us = lambda ns: "%.1f us" % (ns / 1000)
        check = lambda passed: None if quick else passed
        benchkit.latency_rows(table, median, p99, floor_read_ns, peer, bool(files), 15, "0.067",
                           quick)
        table.row("server CPU per scrape", us(cpu["ours"]), us(cpu["peer"]) if peer else "",
                  cpu["ours"] / cpu["peer"] if peer else None)
        table.row("minor page faults per scrape", "%.1f" % faults, "", None, "<= 8",
                  check(faults <= 8))

        benchkit.scrape_latencies(floor, ours.port, 20 if quick else 200)
        hwm = benchkit.memory_kib(ours.pid, "VmHWM")
        limit = 2048 + 2 * body_bytes / 1024
        table.row("VmHWM", "%d KiB" % hwm,
                  "%d KiB" % benchkit.memory_kib(peer.pid, "VmHWM") if peer else "", None,
                  "<= %.0f KiB (2 MiB + 2x body)" % limit, check(hwm <= limit))
        benchkit.unique_and_pss_row(table, ours, peer)
        peer_samples = benchkit.samples_and_bytes(peer.port) if peer else None
        table.row("samples / bytes per scrape", "%d / %d" % (samples, body_bytes),
                  "%d / %d" % peer_samples if peer_samples else "")
    finally:
        for server in servers:
            server.stop()

    per_device(build, host, table, sizes, main_ns, files)
    return 0


def per_device(build, host, table, sizes, main_ns, files):
    """Rendering in process at several sizes: the cost of one more device, in all
    and above the bare kernel reads at the same size (in parentheses)."""
    if not files:
        return
    alone = host.namespace("alone", 1)
    larger = host.namespace("larger", sizes["larger_interfaces"])
    if alone is None or larger is None:
        return
    namespaces = {1: alone, sizes["interfaces"]: main_ns, sizes["larger_interfaces"]: larger}
    times = {n: render_us(build, ns) for n, ns in namespaces.items()}
    reads = {n: bare_reads_us(build, ns, files) for n, ns in namespaces.items()}
    if None in times.values() or None in reads.values():
        return
    table.row("render, per interface", costs(times, reads, 1),
              "1 interface: %.1f us" % times[1])

    times, reads = {}, {}
    for count in (sizes["disks"], sizes["disks"] // 4, 0):
        host.detach_loops(count)
        times[count] = render_us(build, alone)
        reads[count] = bare_reads_us(build, alone, files)
    if None in times.values() or None in reads.values():
        return
    table.row("render, per disk", costs(times, reads, 0), "no loop devices: %.1f us" % times[0])


def main(args):
    reason = why_not()
    if reason:
        print("skipped: " + reason, file=sys.stderr)
        return SKIPPED
    sizes = ({"interfaces": 11, "disks": 4, "larger_interfaces": 41} if args.quick else
             {"interfaces": 1001, "disks": 64, "larger_interfaces": 4001})
    stop_on_signals()
    host = Host()
    table = benchkit.Table()
    try:
        status = measure(args, host, table, sizes)
    finally:
        host.remove()
    if status != 0:
        return status
    print("%d interfaces, %d loop devices besides this host's own disks" %
          (sizes["interfaces"], sizes["disks"]))
    table.print()
    if table.missed:
        print("missed: " + ", ".join(table.missed))
    return 0
