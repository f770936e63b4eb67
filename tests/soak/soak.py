# Well-formed scrapes while hostile peers run in parallel: random bytes, heads
# over 64 KiB, resets in mid-response, trickled heads, heads without the final
# blank line, half-closes and peers that never read. Every scrape must get a
# complete 200 whose body parses; resident memory and open descriptors must be
# the same after as before, and an idle server must use no CPU.
#
#   soak.py BINARY [--quick] [--scrapes N]
#
# The full mode makes 100,000 scrapes; --quick, as the test suite runs it, 300.

import argparse, os, random, re, signal, socket, struct, subprocess, sys, threading, time
from pathlib import Path

from prometheus_client.parser import text_string_to_metric_families

sys.path.insert(0, str(Path(__file__).parent.parent / "system"))
from harness import free_port, spawn  # noqa: E402

SCRAPE = b"GET /metrics HTTP/1.1\r\nHost: soak\r\n\r\n"
SAMPLE = re.compile(rb"(# (HELP|TYPE) .*|[a-zA-Z_:][a-zA-Z0-9_:]*(\{.*\})? \S+)")


def status_of(pid):
    proc = Path(f"/proc/{pid}")
    fields = dict(line.split(":", 1) for line in (proc / "status").read_text().splitlines())
    stat = (proc / "stat").read_text().rsplit(")", 1)[1].split()
    return {"rss_kib": int(fields["VmRSS"].split()[0]), "fds": len(os.listdir(f"/proc/{pid}/fd")),
            "cpu_ticks": int(stat[11]) + int(stat[12])}


# What each kind of hostile peer sends, whether it then shuts its sending side,
# and what it does after: read everything, read a little and reset, or just go.
def hostile(kind, client, rng):
    request = {
        "random_bytes": lambda: rng.randbytes(rng.randint(1, 8192)),
        "huge_head": lambda: b"GET /metrics HTTP/1.1\r\nX: " + b"a" * rng.randint(65536, 80000),
        "no_blank_line": lambda: SCRAPE[:-2],
        "half_close": lambda: SCRAPE[:rng.randint(0, len(SCRAPE))],
    }.get(kind, lambda: SCRAPE)()
    if kind == "trickle":
        for byte in request:
            client.send(bytes([byte]))
            time.sleep(0.005)
    else:
        client.sendall(request)
    if kind in ("random_bytes", "half_close"):
        client.shutdown(socket.SHUT_WR)
    if kind == "reset_mid_response":
        client.recv(rng.randint(1, 200))
        client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    elif kind == "never_read":
        time.sleep(rng.uniform(0, 0.5))
    else:
        while client.recv(65536):
            pass


class Soak:
    def __init__(self, binary):
        self.port = free_port()
        self.server = spawn([binary, "-l", f"127.0.0.1:{self.port}"], stderr=subprocess.PIPE,
                            text=True)
        assert "listening on" in self.server.stderr.readline()
        self.sanitized = "libasan" in Path(f"/proc/{self.server.pid}/maps").read_text()
        self.stop = threading.Event()
        self.hostile = {}  # kind: connections made
        self.failures = []

    def connect(self, timeout=30):
        client = socket.create_connection(("127.0.0.1", self.port), timeout=timeout)
        client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return client

    # One well-formed scrape, checked: None or what was wrong.
    def scrape(self, parse):
        with self.connect() as client:
            client.sendall(SCRAPE)
            data = b"".join(iter(lambda: client.recv(65536), b""))
        head, _, body = data.partition(b"\r\n\r\n")
        if not head.startswith(b"HTTP/1.1 200 OK\r\n"):
            return "status: %r" % head[:40]
        if b"\r\nContent-Length: %d\r\n" % len(body) not in head + b"\r\n":
            return "length: %r for %d bytes" % (head, len(body))
        lines = body.split(b"\n")
        if lines.pop() != b"" or not all(SAMPLE.fullmatch(line) for line in lines):
            return "body does not parse"
        if parse:
            list(text_string_to_metric_families(body.decode()))
        return None

    def peer(self, kind, pause):
        rng = random.Random(kind)
        while not self.stop.wait(rng.uniform(0, 2 * pause)):
            try:
                with self.connect(timeout=10) as client:
                    hostile(kind, client, rng)
            except OSError:
                pass  # resets and timeouts are what these peers are about
            self.hostile[kind] = self.hostile.get(kind, 0) + 1

    # Scrapes while every kind of peer comes and goes, until `scrapes` are done
    # and each kind has come at least twice; then the peers stop.
    def round(self, scrapes, slow_pause):
        # The slow kinds hold the one connection served at a time for up to the
        # head limit, so they come less often than the quick ones.
        kinds = {"random_bytes": 0.02, "huge_head": 0.05, "reset_mid_response": 0.02,
                 "half_close": 0.02, "never_read": 0.05, "trickle": slow_pause / 5,
                 "no_blank_line": slow_pause}
        self.stop.clear()
        self.hostile = {}
        threads = [threading.Thread(target=self.peer, args=item) for item in kinds.items()]
        for thread in threads:
            thread.start()
        number = 0
        try:
            while number < scrapes or min(self.hostile.get(kind, 0) for kind in kinds) < 2:
                if number >= scrapes:
                    time.sleep(0.01)  # enough scrapes: wait for the slow peers
                problem = self.scrape(parse=number % 1000 == 0)
                if problem:
                    self.failures.append(problem)
                number += 1
        finally:
            self.stop.set()
            for thread in threads:
                thread.join()
        time.sleep(3)  # until the last connection has been let go
        return number

    def run(self, scrapes, slow_pause):
        # A first round brings buffers, the heap and kept files to their size.
        self.round(scrapes // 10, slow_pause)
        before = status_of(self.server.pid)
        started = time.monotonic()
        scrapes = self.round(scrapes, slow_pause)
        took = time.monotonic() - started - 3
        after = status_of(self.server.pid)
        time.sleep(3)
        idle_ticks = status_of(self.server.pid)["cpu_ticks"] - after["cpu_ticks"]
        self.server.send_signal(signal.SIGTERM)
        status = self.server.wait(10)
        self.server.stderr.close()
        return scrapes, before, after, idle_ticks, took, status


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("binary")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--scrapes", type=int)
    args = parser.parse_args()
    scrapes = args.scrapes or (300 if args.quick else 100000)
    soak = Soak(args.binary)
    scrapes, before, after, idle_ticks, took, status = soak.run(scrapes, 1.0 if args.quick else 5.0)
    print(f"{scrapes} scrapes in {took:.1f} s ({scrapes / took:.0f}/s), failed: "
          f"{len(soak.failures)}; hostile connections: {soak.hostile}")
    print(f"before: {before}\nafter:  {after}\nCPU ticks in 3 s idle: {idle_ticks}; "
          f"exit status {status}")
    problems = soak.failures[:5]
    # A sanitizer build keeps freed memory in quarantine, so its resident size
    # grows regardless; its leak check at exit (the exit status) stands in.
    if before["fds"] != after["fds"] or (before["rss_kib"] != after["rss_kib"]
                                         and not soak.sanitized):
        problems.append("resident memory or descriptors changed")
    if idle_ticks > 0 or status != 0:
        problems.append("CPU used while idle, or a bad exit status")
    for problem in problems:
        print("FAIL:", problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
