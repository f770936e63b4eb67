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
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

from benchkit import (
    free_port, memory_kib, unique_and_pss_row, cpu_ns, Server, scrape_latencies,
    percentile, wrk_rate, files_read_by_one_scrape, samples_and_bytes,
    render_benchmark, dump_process_ms, make_veth_namespace, latency_rows, Table)


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
