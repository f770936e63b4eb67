"""Measures the exporter beside a peer and beside the floor, and prints a table.

Every comparison is a ratio taken in the same run, with the targets measured in
interleaved rounds, because absolute times drift on a shared machine.

    bench.py --build-dir BUILD [--quick] [--scale]

--quick makes a handful of scrapes, skips what is not installed, and checks no
targets: the test suite runs it so that the benchmark cannot rot.

--scale measures a large host instead: about 1,000 interfaces (veth pairs in a
network namespace of its own) and 64 disks (loop devices on sparse files). It
needs root and exits with status 77 (skipped) where it cannot build them. Loop
devices are visible to the whole machine: they stay attached only while the
run lasts, and everything made is removed at the end, also when interrupted.
"""

import argparse
import ctypes
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.2):
                return True
        except OSError:
            time.sleep(0.05)
    return False


def fetch(port):
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(b"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
        chunks = []
        while True:
            data = s.recv(65536)
            if not data:
                break
            chunks.append(data)
    response = b"".join(chunks)
    return response.split(b"\r\n\r\n", 1)[1]


def proc_status(pid):
    fields = {}
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            key, _, value = line.partition(":")
            fields[key] = value.strip()
    return fields


def memory_kib(pid, key):
    return int(proc_status(pid)[key].split()[0])


def smaps_kib(pid):
    fields = {}
    with open("/proc/%d/smaps_rollup" % pid) as rollup:
        for line in rollup:
            parts = line.split()
            if len(parts) == 3 and parts[2] == "kB":
                fields[parts[0].rstrip(":")] = int(parts[1])
    return fields


def unique_and_pss_row(table, ours, peer):
    """VmHWM counts libc pages every process shares; these two do not."""
    unique = lambda r: r.get("Private_Clean", 0) + r.get("Private_Dirty", 0)
    cell = lambda r: "%d / %d KiB" % (unique(r), r.get("Pss", 0))
    table.row("unique memory / Pss", cell(smaps_kib(ours.pid)),
              cell(smaps_kib(peer.pid)) if peer else "")


def cpu_ns(pid):
    # schedstat's first field: nanoseconds spent on a CPU, summed over threads.
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        with open("/proc/%d/task/%s/schedstat" % (pid, task)) as schedstat:
            total += int(schedstat.read().split()[0])
    return total


class Server:
    def __init__(self, name, argv, port):
        self.name = name
        self.port = port
        self.process = subprocess.Popen(argv, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        if not wait_for_port(port):
            self.stop()
            raise RuntimeError("%s did not start listening on %d" % (name, port))

    @property
    def pid(self):
        return self.process.pid

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def scrape_latencies(floor, port, count):
    out = subprocess.run([floor, "scrape", str(port), str(count)], capture_output=True,
                         text=True, check=True).stdout.split()
    return [int(x) for x in out[:-1]], int(out[-1])


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def wrk_rate(port, connections, seconds):
    wrk = shutil.which("wrk")
    if wrk is None:
        return None
    out = subprocess.run(
        [wrk, "-t", str(min(connections, 2)), "-c", str(connections), "-d", "%gs" % seconds,
         "-H", "Connection: close", "http://127.0.0.1:%d/metrics" % port],
        capture_output=True, text=True).stdout
    match = re.search(r"Requests/sec:\s+([\d.]+)", out)
    return float(match[1]) if match else None


def files_read_by_one_scrape(server, floor):
    """The kernel sources one scrape reads, taken from strace of the running server.

    Files kept open show up as reads of their descriptors; the interface list
    comes over rtnetlink, which the floor reader reproduces as "netlink:links".
    The routing socket is kept open too, so it shows up as its dump request.
    """
    strace = shutil.which("strace")
    if strace is None:
        return None
    with tempfile.NamedTemporaryFile("r", suffix=".strace") as trace:
        tracer = subprocess.Popen([strace, "-f", "-qq", "-y", "-e",
                                   "trace=openat,open,read,pread64,socket,sendto", "-o", trace.name,
                                   "-p", str(server.pid)],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(0.5)
        scrape_latencies(floor, server.port, 1)
        time.sleep(0.2)
        tracer.send_signal(signal.SIGINT)
        tracer.wait(timeout=5)
        text = trace.read()
    sources = set(re.findall(r'(?:pread64|read)\(\d+<(/(?:proc|sys)/[^>]+)>', text))
    sources.update(re.findall(r'open(?:at)?\([^"]*"(/(?:proc|sys)/[^"]+)".*= \d+', text))
    if "socket(AF_NETLINK" in text or re.search(r"sendto\(\d+<[^>]*>, \[\{nlmsg_len", text):
        sources.add("netlink:links")
    return sorted(sources)

def samples_and_bytes(port):
    body = fetch(port)
    samples = sum(1 for line in body.splitlines() if line and not line.startswith(b"#"))
    return samples, len(body)


def render_benchmark(binary, netns=None):
    argv = [binary, "--benchmark_format=csv", "--benchmark_min_time=0.3"]
    if netns:
        argv = ["ip", "netns", "exec", netns] + argv
    out = subprocess.run(argv, capture_output=True, text=True)
    results = {}
    for line in out.stdout.splitlines():
        parts = line.split(",")
        if len(parts) > 3 and parts[0].startswith('"render'):
            results[parts[0].strip('"')] = float(parts[3])  # cpu_time, in the unit given
    return results


def dump_process_ms(binary, runs):
    start = time.perf_counter()
    for _ in range(runs):
        subprocess.run([binary, "--dump"], stdout=subprocess.DEVNULL, check=True)
    return (time.perf_counter() - start) / runs * 1000


def make_veth_namespace(name, pairs):
    if shutil.which("ip") is None:
        return False
    subprocess.run(["ip", "netns", "del", name], capture_output=True)
    if subprocess.run(["ip", "netns", "add", name], capture_output=True).returncode != 0:
        return False
    batch = "".join("link add kv%da type veth peer name kv%db\n" % (i, i) for i in range(pairs))
    result = subprocess.run(["ip", "-n", name, "-batch", "-"], input=batch, text=True,
                            capture_output=True)
    subprocess.run(["ip", "-n", name, "link", "set", "lo", "up"], capture_output=True)
    return result.returncode == 0


def latency_rows(table, median, p99, floor_read_ns, peer, have_reads, peer_factor, peer_ratio,
                 quick):
    """Median and p99 scrape latency against the peer (targets: at most 1/peer_factor of its
    median) and the median against the floor: its server plus the bare reads of one scrape."""
    us = lambda ns: "%.1f us" % (ns / 1000)
    if peer:
        table.row("median scrape latency", us(median["ours"]), us(median["peer"]),
                  median["ours"] / median["peer"], "<= %sx peer" % peer_ratio,
                  None if quick else median["ours"] * peer_factor <= median["peer"])
        table.row("p99 scrape latency", us(p99["ours"]), us(p99["peer"]),
                  p99["ours"] / p99["peer"])
    else:
        table.row("median scrape latency", us(median["ours"]))
        table.row("p99 scrape latency", us(p99["ours"]))
    floor_latency = median["floor"] + (floor_read_ns or 0)
    table.row("median latency vs floor", us(median["ours"]),
              "%s (server %s + reads %s)" % (us(floor_latency), us(median["floor"]),
                                             us(floor_read_ns or 0)),
              median["ours"] / floor_latency, "<= 1.5x floor",
              None if quick or not have_reads else median["ours"] <= 1.5 * floor_latency)


class Table:
    def __init__(self):
        self.rows = []
        self.missed = []

    def row(self, what, ours, other="", ratio=None, target=None, passed=None):
        verdict = "" if passed is None else ("ok" if passed else "MISSED")
        if passed is False:
            self.missed.append(what)
        ratio_text = "" if ratio is None else "%.2fx" % ratio
        self.rows.append((what, str(ours), str(other), ratio_text, target or "", verdict))

    def print(self):
        header = ("measure", "ours", "peer / floor", "ratio", "target", "")
        widths = [max(len(r[i]) for r in self.rows + [header]) for i in range(6)]
        for row in [header] + self.rows:
            print("  ".join(cell.ljust(widths[i]) for i, cell in enumerate(row)).rstrip())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--scale", action="store_true")
    args = parser.parse_args()
    if args.scale:
        import scale
        return scale.main(args)
    build = os.path.abspath(args.build_dir)
    ours_binary = os.path.join(build, "kelmar-host-perfdata")
    floor = os.path.join(build, "bench", "floor")
    quick = args.quick

    scrapes = 10 if quick else 250
    rounds = 1 if quick else 4
    table = Table()
    servers = []
    try:
        port = free_port()
        ours = Server("ours", [ours_binary, "-l", "127.0.0.1:%d" % port], port)
        servers.append(ours)
        samples, body_bytes = samples_and_bytes(ours.port)

        peer = None
        node_exporter = shutil.which("prometheus-node-exporter")
        if node_exporter:
            port = free_port()
            collectors = ["cpu", "meminfo", "loadavg", "diskstats", "netdev"]
            if os.path.exists("/proc/spl/kstat/zfs/arcstats"):
                collectors.append("zfs")
            peer = Server("peer", [node_exporter, "--web.listen-address=127.0.0.1:%d" % port,
                                   "--collector.disable-defaults"] +
                          ["--collector." + c for c in collectors], port)
            servers.append(peer)
        elif not quick:
            print("prometheus-node-exporter is not installed: no peer column", file=sys.stderr)

        port = free_port()
        floor_server = Server("floor", [floor, "serve", str(port), str(body_bytes)], port)
        servers.append(floor_server)

        files = files_read_by_one_scrape(ours, floor) or []
        floor_read_ns = None
        if files:
            floor_read_ns = float(subprocess.run(
                [floor, "read", "20" if quick else "2000"] + files, capture_output=True,
                text=True, check=True).stdout.split()[0])

        # Sequential scrapes, a new connection each, interleaved by round.
        latencies = {s.name: [] for s in servers}
        cpu_before = {s.name: cpu_ns(s.pid) for s in servers}
        for _ in range(rounds):
            for server in servers:
                latencies[server.name] += scrape_latencies(floor, server.port, scrapes)[0]
        cpu_per_scrape = {s.name: (cpu_ns(s.pid) - cpu_before[s.name]) / (rounds * scrapes)
                          for s in servers}
        median = {name: statistics.median(values) for name, values in latencies.items()}
        p99 = {name: percentile(values, 0.99) for name, values in latencies.items()}

        us = lambda ns: "%.1f us" % (ns / 1000)
        latency_rows(table, median, p99, floor_read_ns, peer, bool(files), 8, "0.125", quick)
        table.row("server CPU per scrape", us(cpu_per_scrape["ours"]),
                  us(cpu_per_scrape["peer"]) if peer else "",
                  cpu_per_scrape["ours"] / cpu_per_scrape["peer"] if peer else None)

        # Throughput, one connection and sixteen, interleaved.
        seconds = 1 if quick else 3
        for connections in (1, 16):
            rates = {s.name: [] for s in servers}
            for _ in range(1 if quick else 2):
                for server in servers:
                    rate = wrk_rate(server.port, connections, seconds)
                    if rate is not None:
                        rates[server.name].append(rate)
            if not rates["ours"]:
                break
            ours_rate = statistics.median(rates["ours"])
            peer_rate = statistics.median(rates["peer"]) if peer and rates["peer"] else None
            passed = None
            if connections == 1 and peer_rate and not quick:
                passed = ours_rate >= 8 * peer_rate
            table.row("throughput, %d connection%s" % (connections, "s" * (connections > 1)),
                      "%.0f/s" % ours_rate, "%.0f/s" % peer_rate if peer_rate else "",
                      ours_rate / peer_rate if peer_rate else None,
                      ">= 8x peer" if connections == 1 else None, passed)

        # Memory after load, and growth between 1,000 and 10,000 scrapes.
        first, second = (20, 100) if quick else (1000, 10000)
        done = rounds * scrapes
        if done < first:
            scrape_latencies(floor, ours.port, first - done)
        hwm_first = memory_kib(ours.pid, "VmHWM")
        rss_first = memory_kib(ours.pid, "VmRSS")
        scrape_latencies(floor, ours.port, second - max(first, done))
        hwm = memory_kib(ours.pid, "VmHWM")
        rss = memory_kib(ours.pid, "VmRSS")
        table.row("VmRSS / VmHWM after %d scrapes" % second, "%d / %d KiB" % (rss, hwm),
                  "%d / %d KiB" % (memory_kib(peer.pid, "VmRSS"), memory_kib(peer.pid, "VmHWM"))
                  if peer else "", None, "VmHWM <= 2048 KiB", None if quick else hwm <= 2048)
        unique_and_pss_row(table, ours, peer)
        table.row("growth %d -> %d scrapes" % (first, second),
                  "RSS %+d KiB, HWM %+d KiB" % (rss - rss_first, hwm - hwm_first), "", None,
                  "none", None if quick else hwm == hwm_first)
        peer_samples = samples_and_bytes(peer.port) if peer else None
        table.row("samples / bytes per scrape", "%d / %d" % (samples, body_bytes),
                  "%d / %d" % peer_samples if peer_samples else "")
    finally:
        for server in servers:
            server.stop()

    # In-process rendering against the bare reads of the same files.
    render = render_benchmark(os.path.join(build, "bench", "render_benchmark"))
    fake = render_benchmark(os.path.join(build, "bench", "render_fake_benchmark"))
    render_us = render.get("render_with_linux_layer")
    if render_us is not None and floor_read_ns:
        table.row("render, Linux layer", "%.1f us" % render_us,
                  "%.1f us (bare reads)" % (floor_read_ns / 1000),
                  render_us * 1000 / floor_read_ns, "<= 1.3x bare reads",
                  None if quick else render_us * 1000 <= 1.3 * floor_read_ns)
    for name, value in sorted(fake.items()):
        table.row(name.replace("render_with_fake_kernel/", "render, fake kernel, interfaces="),
                  "%.1f us" % value)
    table.row("--dump as a whole process", "%.2f ms" % dump_process_ms(ours_binary,
                                                                        5 if quick else 100))

    # Interfaces: time linear in their number (a namespace with 1 and with 200).
    if not quick and os.geteuid() == 0:
        alone, crowded = "kelmar-bench-lo", "kelmar-bench-veth"
        if make_veth_namespace(alone, 0) and make_veth_namespace(crowded, 100):
            one = render_benchmark(os.path.join(build, "bench", "render_benchmark"), alone)
            many = render_benchmark(os.path.join(build, "bench", "render_benchmark"), crowded)
            if one and many:
                table.row("render with 1 / 201 interfaces",
                          "%.1f / %.1f us" % (one["render_with_linux_layer"],
                                              many["render_with_linux_layer"]),
                          "", many["render_with_linux_layer"] / one["render_with_linux_layer"])
        for name in (alone, crowded):
            subprocess.run(["ip", "netns", "del", name], capture_output=True)

    stripped = os.path.join(tempfile.mkdtemp(), "kelmar-host-perfdata")
    shutil.copy(ours_binary, stripped)
    subprocess.run(["strip", stripped], check=True)
    size = os.path.getsize(stripped)
    table.row("stripped binary", "%d bytes" % size, "", None, "< 1 MB",
              None if quick else size < 1000000)
    shutil.rmtree(os.path.dirname(stripped))

    table.print()
    if files:
        print("files one scrape reads: " + " ".join(files))
    if table.missed:
        print("missed: " + ", ".join(table.missed))
    return 0


if __name__ == "__main__":
    sys.exit(main())
