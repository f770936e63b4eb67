# Scrape latency among hostile peers: ours beside Debian's node exporter
# (restricted to the collectors of our families, as bench.py runs it), with
# 0, 5, 100 and 1,000 peers of each kind and of all kinds mixed, and the
# resident memory of each server under the mix. Draws the figure of latency
# against peers.
#
#   hostile_peers.py --build-dir BUILD [--figure PNG] [--quick] [--mixed-only] [--before BINARY]
#
# --before adds another binary (an earlier build) with the mixed peers, at up
# to 5 of them: a server that serves one connection at a time takes seconds
# there. --quick: the mixed peers alone, up to 20, and no targets.

import argparse, os, platform, shutil, statistics, subprocess, sys, time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from benchkit import Server, free_port, memory_kib  # noqa: E402

KINDS = ("silent", "stalled", "trickle", "never_reads", "oversize", "reset")
COLLECTORS = ["cpu", "meminfo", "loadavg", "diskstats", "netdev"]


def scrape_once(floor, port):
    out = subprocess.run([floor, "scrape", str(port), "1"], capture_output=True, text=True,
                         timeout=60)
    return int(out.stdout.split()[0]) / 1e6 if out.returncode == 0 else float("inf")


# Latencies in milliseconds of scrapes spread over a few seconds while the
# peers run, and the server's resident KiB at the end.
def measure(server, floor, kinds, count, scrapes):
    holder = None
    if count:
        holder = subprocess.Popen([floor, "peers", str(server.port), str(count), ",".join(kinds)])
        time.sleep(3.5)  # every peer connected, and the first ones cycled
    try:
        latencies = []
        for _ in range(scrapes):
            latencies.append(scrape_once(floor, server.port))
            time.sleep(0.1)
        return latencies, memory_kib(server.pid, "VmRSS")
    finally:
        if holder:
            holder.terminate()
            holder.wait()
            time.sleep(2.5)  # the server lets go of what they left


def summary(latencies):
    ordered = sorted(latencies)
    p99 = ordered[min(len(ordered) - 1, int(0.99 * len(ordered)))]
    return statistics.median(ordered), p99, ordered[-1]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", default="build")
    parser.add_argument("--figure")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--before")
    parser.add_argument("--mixed-only", action="store_true")
    args = parser.parse_args()

    build = os.path.abspath(args.build_dir)
    floor = os.path.join(build, "bench", "floor")
    counts = [0, 20] if args.quick else [0, 5, 100, 1000]
    scrapes = 5 if args.quick else 40
    # Unloaded first, then every kind mixed, then each kind alone.
    kinds = [list(KINDS)] + ([] if args.quick or args.mixed_only else [[k] for k in KINDS])
    servers = {"ours": [os.path.join(build, "kelmar-host-perfdata"), "-l"]}
    node_exporter = shutil.which("prometheus-node-exporter")
    if node_exporter:
        servers["peer"] = [node_exporter, "--collector.disable-defaults"] + \
            ["--collector." + c for c in COLLECTORS] + ["--web.listen-address"]
    if args.before:
        servers["before"] = [os.path.abspath(args.before), "-l"]

    results = {}  # (server, kind, count) -> (median, p99, worst), and (server, "rss") -> KiB
    for name, argv in servers.items():
        port = free_port()
        server = Server(name, argv + ["127.0.0.1:%d" % port], port)
        try:
            for kind in kinds:
                label = "mixed" if len(kind) > 1 else kind[0]
                for count in counts:
                    if (count == 0 and kind != kinds[0]) or \
                            (name == "before" and (count > 5 or label != "mixed")):
                        continue
                    latencies, rss = measure(server, floor, kind, count,
                                             5 if name == "before" else scrapes)
                    results[name, label, count] = summary(latencies)
                    if label == "mixed" and count == counts[-1]:
                        results[name, "rss"] = rss
                    print("%-6s %-12s %5d  median %9.2f ms  p99 %9.2f ms  worst %9.2f ms" %
                          ((name, label, count) + results[name, label, count]), flush=True)
        finally:
            server.stop()
    for name in servers:
        if (name, "rss") in results:
            print("%s resident under %d mixed peers: %d KiB" % (name, counts[-1],
                                                                  results[name, "rss"]))
    missed = check_targets(results, counts[-1], "peer" in servers) if not args.quick else []
    if args.figure:
        draw(results, counts, servers, args.figure)
    for line in missed:
        print("MISSED:", line)
    return 1 if missed else 0


def unloaded(results, name):
    return next(value for key, value in results.items() if key[0] == name and key[2:] == (0,))


def check_targets(results, most, have_peer):
    unloaded_median = unloaded(results, "ours")[0]
    median, _, worst = results["ours", "mixed", most]
    rss = results["ours", "rss"]
    missed = []
    if median > 2 * unloaded_median:
        missed.append("median %.2f ms over twice the unloaded %.2f ms" % (median,
                                                                          unloaded_median))
    if worst >= 250:
        missed.append("worst %.1f ms, not under 250 ms" % worst)
    if rss >= 16 * 1024:
        missed.append("resident %d KiB, not under 16 MiB" % rss)
    if have_peer:
        peer = results["peer", "mixed", most]
        if median >= peer[0] or worst >= peer[2] or rss >= results["peer", "rss"]:
            missed.append("not better than the peer on every count")
    return missed


def draw(results, counts, servers, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(figsize=(7, 4.2), dpi=110)
    styles = {"ours": "tab:blue", "peer": "tab:orange", "before": "tab:gray"}
    names = {"ours": "kelmar-host-perfdata", "peer": "node exporter", "before": "before"}
    for name in servers:
        shown = [c for c in counts if (name, "mixed", c) in results or c == 0]
        value = lambda c: results[name, "mixed", c] if c else unloaded(results, name)
        x = [max(c, 1) for c in shown]
        axes.plot(x, [value(c)[0] for c in shown], "o-", color=styles[name],
                  label=names[name] + ", median")
        axes.plot(x, [value(c)[2] for c in shown], "s--", color=styles[name],
                  label=names[name] + ", worst")
    axes.set_xscale("log")
    axes.set_yscale("log")
    axes.set_xticks([max(c, 1) for c in counts], [str(c) for c in counts])
    axes.set_xlabel("hostile peers connected (all kinds mixed)")
    axes.set_ylabel("scrape latency (ms)")
    machine = "%s, %d cores, %s" % (platform.system(), os.cpu_count(), platform.release())
    axes.set_title("Scrape latency among hostile peers (%s; %s)" %
                   (time.strftime("%Y-%m-%d"), machine), fontsize=9)
    axes.grid(True, which="both", alpha=0.3)
    axes.legend(fontsize=8)
    figure.tight_layout()
    figure.savefig(path)


if __name__ == "__main__":
    sys.exit(main())
