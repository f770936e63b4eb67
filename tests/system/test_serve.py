# The serve mode through the built program on loopback ports of its own, with
# hand-made peers and with real clients.

import contextlib, json, os, resource, select, shutil, signal, socket, struct, subprocess, tempfile
import time, unittest
import urllib.parse, urllib.request

from harness import SCRAPE, Server, blocks, exchange, free_port, run, spawn, status_of

BOUND = 2.0 + 1.5  # the request head time limit, and a margin for a loaded machine


class Serve(unittest.TestCase):
    def test_requests_of_every_shape_are_answered_in_turn(self):
        port = None
        for stop_signal in (signal.SIGTERM, signal.SIGINT):
            # Of options given twice, the last counts. The second run starts
            # on the port the first has just served on, as a supervisor's
            # restart does, while its connections are in TIME_WAIT.
            with Server("-l", "127.0.0.1:1", "--metrics-prefix=x", "--metrics-prefix",
                        "kelmar_host", port=port) as server:
                port = server.port
                self.assertEqual(server.banner, "kelmar-host-perfdata listening on %s "
                                 "(metrics prefix 'kelmar_host')\n" % server.address)
                # A head in pieces, its end split across them, is answered at
                # its last piece, not at the head limit.
                with server.connect() as client:
                    for byte in SCRAPE:
                        client.send(bytes([byte]))
                        time.sleep(0.003)
                    started = time.monotonic()
                    self.assertEqual(exchange(client, b"")[0], 200)
                    self.assertLess(time.monotonic() - started, 1.0)
                server.connect().close()
                first, second = server.connect(), server.connect()
                second.sendall(SCRAPE)
                self.assertEqual(exchange(first, b"GET / HTTP/1.1\r\n\r\n")[0], 404)
                self.assertEqual(exchange(second, b"")[0], 200)
                status, took = server.stop(stop_signal, after=0.3)
                self.assertTrue(status == 0 and took < 1.5, (stop_signal, status, took))

    def test_slow_and_resetting_peers_get_all_or_nothing_and_harm_nothing(self):
        # A long prefix makes the response megabytes long, so that the server
        # is still sending when the reset arrives.
        with Server("--metrics-prefix", "p" * 100000) as server:
            # A peer that reads its answer slowly, with pauses, gets all of it.
            with socket.socket() as slow:
                slow.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
                slow.connect(("127.0.0.1", server.port))
                slow.sendall(SCRAPE)
                time.sleep(0.5)  # while the server waits for room to send
                data = b"".join(iter(lambda: slow.recv(65536), b""))
                self.assertRegex(data, rb"^HTTP/1.1 200 OK\r\n[^\0]*Content-Length: %d\r\n"
                                 % len(data.partition(b"\r\n\r\n")[2]))
            for request, read_first in [(SCRAPE[:20], 0), (SCRAPE, 0), (SCRAPE, 100)] * 3:
                with server.connect() as client:
                    client.sendall(request)
                    client.recv(read_first)
                    client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                time.sleep(0.05)
            status, body = exchange(server.connect())
            self.assertTrue(status == 200 and len(body) > 3000000, status)

    def test_unread_input_neither_resets_nor_delays_the_answer(self):
        # An answer of megabytes is still in the server's send queue when it
        # closes, which a reset would throw away.
        with Server("--metrics-prefix", "p" * 100000) as server:
            for request in (b"GET /metrics HTTP/1.1\r\nContent-Length: 5000\r\n\r\n" + bytes(5000),
                            b"GET /metrics HTTP/1.1\r\nX: " + b"a" * 300000):
                started = time.monotonic()
                self.assertIn(exchange(server.connect(), request)[0], (200, 405))
                # The end of the answer comes with it, not after the peer gives up.
                self.assertLess(time.monotonic() - started, 0.7)

    # Cut off two seconds after it was accepted, also when its last byte comes
    # just before then. (Idle peers delaying nothing is the Peers test's part.)
    def test_a_trickling_peer_is_cut_off_at_the_head_limit(self):
        with Server() as server, server.connect() as client:
            started = time.monotonic()
            for pause in (0.5, 0.5, 0.5, 0.4, 2.5):
                with contextlib.suppress(OSError):  # the server may have closed already
                    client.send(b"a")
                if select.select([client], [], [], pause)[0]:
                    break
            self.assertLess(time.monotonic() - started, BOUND)

    def test_listen_addresses_and_start_up_diagnostics(self):
        for address in ("9272", "", "127.0.0.1:99999", "127.0.0.1:65536", "127.0.0.1:",
                        "127.0.0.1:0", "127.0.0.1:+80", "127.0.0.1:-1", "127.0.0.1: 80",
                        "[::1:9272", "[]:9272", "::1]:9272", "[::1]x:9272"):
            result = run("-l", address)
            self.assertEqual((result.returncode, result.stdout, result.stderr),
                             (1, "", f"invalid listen address '{address}', expected ADDR:PORT\n"))
        port = socket.getservbyname("openvpn", "tcp")
        with socket.socket() as holder:
            with contextlib.suppress(OSError):  # if taken, the port is in use all the same
                holder.bind(("127.0.0.1", port))
                holder.listen()
            for address, expected in (
                    ("127.0.0.1:no-such-name", r"getaddrinfo\(127\.0\.0\.1:no-such-name\): .+\n"),
                    (f"127.0.0.1:{port}",
                     rf"cannot bind to 127\.0\.0\.1:{port}: Address already in use\n"),
                    # A service name is resolved to its port, here one in use.
                    ("127.0.0.1:openvpn",
                     r"cannot bind to 127\.0\.0\.1:openvpn: Address already in use\n"),
                    ("192.0.2.1:9272", r"cannot bind to 192\.0\.2\.1:9272: Cannot assign .+\n")):
                result = run("-l", address)
                self.assertEqual((result.returncode, result.stdout), (1, ""), address)
                self.assertRegex(result.stderr, f"^{expected}$")
        # An IPv6 literal in brackets, shown in the banner as given.
        try:
            server = Server(host="::1")
        except OSError:
            self.skipTest("no IPv6 loopback address")
        with server:
            self.assertEqual(server.banner, "kelmar-host-perfdata listening on "
                             f"{server.address} (metrics prefix 'kelmar_host')\n")
            self.assertEqual(exchange(server.connect())[0], 200)

    @unittest.skipUnless(shutil.which("prometheus"), "Debian's prometheus is not installed")
    def test_prometheus_scrapes_every_series(self):
        def query(expression):
            url = f"http://{web}/api/v1/query?" + urllib.parse.urlencode({"query": expression})
            with urllib.request.urlopen(url, timeout=5) as response:
                return [float(r["value"][1]) for r in json.load(response)["data"]["result"]]

        with tempfile.TemporaryDirectory() as directory, Server() as server:
            config = directory + "/config.yml"
            with open(config, "w") as out:
                out.write("global: {scrape_interval: 1s, scrape_timeout: 1s}\nscrape_configs: [{"
                          "job_name: k, static_configs: [{targets: ['%s']}]}]\n" % server.address)
            web = f"127.0.0.1:{free_port()}"
            prometheus = spawn(
                ["prometheus", f"--config.file={config}", f"--storage.tsdb.path={directory}/data",
                 f"--web.listen-address={web}"], stderr=subprocess.PIPE, text=True)
            try:
                for _ in range(120):  # until three scrapes are stored, for at most a minute
                    time.sleep(0.5)
                    with contextlib.suppress(OSError):
                        if (query('count_over_time(up{job="k"}[1m])') or [0])[0] >= 3:
                            break
                found = [query(expression) for expression in ('up{job="k"}', 'count({job="k", '
                         '__name__!~"up|scrape_.+"})', 'scrape_samples_scraped{job="k"}')]
            finally:
                prometheus.terminate()
                log = prometheus.communicate(timeout=20)[1][-3000:]
        samples = sum(len(samples) for _, _, samples in blocks(run("--dump").stdout))
        self.assertEqual(found, [[1.0], [samples], [samples]], log)


# Peers of a kind that holds a connection without finishing it, opened in turn.
def hostile_peers(server, kind, count=1, pause=0.0):
    peers = []
    for _ in range(count):
        peer = socket.socket()
        if kind == "never_reads":
            peer.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
        peer.connect((server.host, server.port))
        peer.sendall({"silent": b"", "stalled": b"G", "never_reads": SCRAPE, "resetting": b"GET",
                      "gathering": b"GET /metrics HTTP/1.1\r\nX: " + b"a" * 60000,
                      "oversize": b"GET /metrics HTTP/1.1\r\nX: " + b"a" * 70000}[kind])
        if kind == "resetting":
            peer.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            peer.close()
        peers.append(peer)
        time.sleep(pause)
    return peers


def is_closed(peer):  # by the server; an open connection has nothing to read
    peer.setblocking(False)
    with contextlib.suppress(BlockingIOError):
        return b"".join(iter(lambda: peer.recv(65536), b"")) is not None
    return False


# Every connection is served side by side: no peer holds up another.
class Peers(unittest.TestCase):
    KINDS = ("silent", "stalled", "never_reads", "oversize", "resetting")

    def test_a_scrape_is_answered_at_once_whatever_else_is_connected(self):
        with Server() as server:
            self.assertEqual(exchange(server.connect())[0], 200)
            time.sleep(0.3)  # until the server has closed that connection
            fds = status_of(server.pid)["fds"]
            for kinds in [[kind] for kind in self.KINDS] + [self.KINDS]:
                peers = [p for kind in kinds for p in hostile_peers(server, kind, 50 // len(kinds))]
                time.sleep(0.2)  # the server has taken them
                started = time.monotonic()
                self.assertEqual(exchange(server.connect())[0], 200, kinds)
                self.assertLess(time.monotonic() - started, 1.0, kinds)
                for peer in peers:
                    peer.close()
            time.sleep(0.5)
            self.assertEqual(status_of(server.pid)["fds"], fds)
            # A stop signal is not held up by any of them.
            peers = [hostile_peers(server, kind, 10) for kind in self.KINDS]
            status, took = server.stop(after=0.3)
            self.assertTrue(status == 0 and took < 1.5, (status, took))

    def test_at_the_bound_the_longest_waiting_head_gives_way_and_no_answer_does(self):
        # 6 connections: what 38 descriptors leave beside the process's own.
        with Server("--metrics-prefix", "p" * 60000, files=38) as server:
            unread, = hostile_peers(server, "never_reads", pause=0.3)  # megabytes in flight
            stalled = hostile_peers(server, "stalled", 5, pause=0.05)
            self.assertEqual(exchange(server.connect())[0], 200)
            self.assertEqual([is_closed(peer) for peer in stalled], [True] + [False] * 4)
            status, body = exchange(unread, b"")
            self.assertTrue(status == 200 and len(body) > 5000000, status)
        # Heads being gathered share a megabyte: past it, the one that has
        # waited longest goes.
        with Server() as server:
            heads = hostile_peers(server, "gathering", 20, pause=0.05)
            self.assertEqual(exchange(server.connect())[0], 200)
            self.assertEqual([is_closed(peer) for peer in heads], [True] * 3 + [False] * 17)


# Peers that cost the server descriptors.
class Limits(unittest.TestCase):
    def test_out_of_descriptors_peers_are_closed_without_spinning(self):
        with Server() as server:
            self.assertEqual(exchange(server.connect())[0], 200)
            time.sleep(0.3)  # until the server has closed that connection
            open_now = {int(fd) for fd in os.listdir(f"/proc/{server.pid}/fd")}
            lowest_free = min(set(range(len(open_now) + 1)) - open_now)
            limits = resource.prlimit(server.pid, resource.RLIMIT_NOFILE)
            resource.prlimit(server.pid, resource.RLIMIT_NOFILE, (lowest_free, limits[1]))
            used = status_of(server.pid)["cpu_ticks"]
            for _ in range(3):
                with server.connect() as client:
                    client.settimeout(2)
                    client.sendall(SCRAPE)
                    with contextlib.suppress(ConnectionResetError):
                        self.assertEqual(client.recv(100), b"")  # closed, not left hanging
            time.sleep(1)
            spent = status_of(server.pid)["cpu_ticks"] - used
            self.assertLess(spent, 0.3 * os.sysconf("SC_CLK_TCK"))
            resource.prlimit(server.pid, resource.RLIMIT_NOFILE, limits)
            self.assertEqual(exchange(server.connect())[0], 200)
            self.assertEqual(server.stop()[0], 0)
            self.assertEqual(server.stderr.read(),
                             "cannot accept connections: Too many open files\n")

    # Each device attached or detached makes the next scrape reload the disk
    # tree; a reload that leaks shows in the descriptors, which must be those
    # of the warmed-up server again once the devices are gone. Other processes
    # may attach loop devices meanwhile: only ours is judged.
    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("losetup"),
                         "attaching loop devices needs root and losetup")
    def test_disks_that_come_and_go_leave_the_descriptors_as_they_were(self):
        def listed(loop):
            body = exchange(server.connect())[1]
            return b'_disk_read_ops_total{device="%s"}' % os.path.basename(loop).encode() in body

        with tempfile.NamedTemporaryFile() as backing, Server() as server:
            backing.truncate(1 << 20)
            listed("warm-up")
            time.sleep(0.3)  # until the server has closed that connection
            fds = status_of(server.pid)["fds"]
            for _ in range(5):
                attach = subprocess.run(["losetup", "-f", "--show", backing.name],
                                        capture_output=True, text=True)
                if attach.returncode != 0:
                    self.skipTest("no loop device to attach: " + attach.stderr.strip())
                loop = attach.stdout.strip()
                try:
                    self.assertTrue(listed(loop), loop)
                finally:
                    subprocess.run(["losetup", "-d", loop], check=True)
                for _ in range(50):  # the kernel drops a detached device's size shortly after
                    if not listed(loop):
                        break
                    time.sleep(0.1)
                self.assertFalse(listed(loop), loop)
            for _ in range(20):  # the last connection closed, the count settles
                if status_of(server.pid)["fds"] == fds:
                    break
                time.sleep(0.1)
            self.assertEqual(status_of(server.pid)["fds"], fds)

if __name__ == "__main__":
    unittest.main()
