"""What the benchmarks share: servers to start, scrapes to time, a process's
memory and CPU, the kernel sources one scrape reads, and the table they print.
"""

import os
import re
import shutil
import signal
import socket
import subprocess
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
