# Well-formed scrapes while hostile peers run in parallel: random bytes, heads
# over 64 KiB, resets in mid-response, trickled heads, heads without the final
# blank line, half-closes and peers that never read. Every scrape must get a
# complete 200 whose body parses; open descriptors must be the same after as
# before, resident memory must not grow, and an idle server must use no CPU.
#
#   soak.py BINARY [--quick] [--scrapes N]
#
# The full mode makes 100,000 scrapes; --quick, as the test suite runs it, 300.

import argparse, os, random, re, socket, struct, sys, threading, time
from pathlib import Path

from prometheus_client.parser import text_string_to_metric_families

sys.path.insert(0, str(Path(__file__).parent.parent / "system"))
from harness import SCRAPE, Server, exchange, status_of  # noqa: E402

SAMPLE = re.compile(rb"(# (HELP|TYPE) .*|[a-zA-Z_:][a-zA-Z0-9_:]*(\{.*\})? \S+)")


# What each kind of hostile peer sends, whether it then shuts its sending side,
# and what it does after: read everything, read a little and reset, or just go.
def hostile(kind, client, rng):
    request = {
        "random_bytes": lambda: rng.randbytes(rng.randint(1, 8192)),
        "huge_head": lambda: b"GET /metrics HTTP/1.1\r\nX: " + b"a" * rng.randint(65536, 80000),
        "no_blank_line": lambda: SCRAPE[:-2],
        "half_close": lambda: SCRAPE[:rng.randint(0, len(SCRAPE))],
    }.get(kind, lambda: SCRAPE)()
    for piece in [request[i:i + 1] for i in range(len(request))] if kind == "trickle" else [request]:
        client.sendall(piece)
        time.sleep(0.005 if kind == "trickle" else 0)
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


# Scrapes while every kind of peer comes and goes, until `scrapes` are done and
# each kind has come at least twice; then the peers stop. The slow kinds hold
# a connection for up to the head limit, so they come less often. Returns the
# scrapes made and what was wrong with any.
def round_of(server, scrapes, slow_pause, hostile_counts):
    kinds = {"random_bytes": 0.02, "huge_head": 0.05, "reset_mid_response": 0.02,
             "half_close": 0.02, "never_read": 0.05, "trickle": slow_pause / 5,
             "no_blank_line": slow_pause}
    stop, failures = threading.Event(), []

    def peer(kind, pause):
        rng = random.Random(kind)
        while not stop.wait(rng.uniform(0, 2 * pause)):
            try:
                with server.connect() as client:
                    hostile(kind, client, rng)
            except OSError:
                pass  # resets and timeouts are what these peers are about
            hostile_counts[kind] = hostile_counts.get(kind, 0) + 1

    threads = [threading.Thread(target=peer, args=item) for item in kinds.items()]
    for thread in threads:
        thread.start()
    number = 0
    try:
        while number < scrapes or min(hostile_counts.get(kind, 0) for kind in kinds) < 2:
            try:
                status, body = exchange(server.connect(timeout=30))
                lines = body.split(b"\n")
                assert status == 200 and lines.pop() == b"", status
                assert all(SAMPLE.fullmatch(line) for line in lines), "body does not parse"
                if number % 1000 == 0:
                    list(text_string_to_metric_families(body.decode()))
            except Exception as problem:  # noqa: BLE001 (every kind of failure is counted)
                failures.append(repr(problem)[:200])
            number += 1
    finally:
        stop.set()
        for thread in threads:
            thread.join()
    time.sleep(3)  # until the last connection has been let go
    return number, failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("binary")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--scrapes", type=int)
    args = parser.parse_args()
    scrapes, slow = args.scrapes or (300 if args.quick else 100000), 1.0 if args.quick else 5.0
    hostile_counts = {}
    with Server(binary=os.path.abspath(args.binary)) as server:
        sanitized = "libasan" in Path(f"/proc/{server.pid}/maps").read_text()
        round_of(server, scrapes // 10, slow, {})  # brings buffers and the heap to their size
        before, started = status_of(server.pid), time.monotonic()
        scrapes, failures = round_of(server, scrapes, slow, hostile_counts)
        took, after = time.monotonic() - started - 3, status_of(server.pid)
        time.sleep(3)
        idle_ticks = status_of(server.pid)["cpu_ticks"] - after["cpu_ticks"]
    print(f"{scrapes} scrapes in {took:.1f} s ({scrapes / took:.0f}/s), failed: {len(failures)}; "
          f"hostile connections: {hostile_counts}\nbefore: {before}\nafter:  {after}\n"
          f"CPU ticks in 3 s idle: {idle_ticks}")
    problems = failures[:5]
    # Connections are served side by side, so how many heads and answers are
    # held at once, and where the allocator puts them, varies from run to run
    # by tens of KiB; a leak per connection grows with the thousands of them.
    # A sanitizer build keeps freed memory in quarantine, so its resident size
    # grows regardless; its leak check at exit (the exit status) stands in.
    grown = after["rss_kib"] - before["rss_kib"]
    if before["fds"] != after["fds"] or (grown > 256 and not sanitized):
        problems.append("resident memory grew or descriptors changed")
    # The kernel charges a whole tick to a process that runs at a sampled
    # moment, however briefly; a loop that spins would take hundreds.
    if idle_ticks > 1:
        problems.append("CPU used while idle")
    for problem in problems:
        print("FAIL:", problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
