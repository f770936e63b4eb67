"""The serve mode through the built program, on loopback ports of its own."""

import os
import signal
import socket
import struct
import subprocess
import sys
import time
import unittest

BINARY = None

# The server's per-connection limits: the request head, the response send and
# the drain of unread request bytes.
HEAD_LIMIT = 2.0
SLACK = 1.5

BANNER = "kelmar-host-perfdata listening on {} (metrics prefix 'kelmar_host')\n"
SCRAPE = b"GET /metrics HTTP/1.1\r\nHost: test\r\n\r\n"


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Server:
    """The program serving on 127.0.0.1, started and stopped by a test."""

    def __init__(self, *arguments):
        self.port = free_port()
        self.address = "127.0.0.1:{}".format(self.port)
        self.process = subprocess.Popen(
            [BINARY, "-l", self.address, *arguments],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
            text=True,
        )
        self.banner = self.process.stderr.readline()

    def connect(self):
        client = socket.create_connection(("127.0.0.1", self.port), timeout=10)
        client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return client

    def stop(self, timeout=5):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(timeout)
        finally:
            if self.process.poll() is None:
                self.process.kill()
                self.process.wait()
            self.process.stderr.close()


def receive_all(client):
    data = b""
    while True:
        chunk = client.recv(65536)
        if not chunk:
            return data
        data += chunk


def split_response(data):
    head, _, body = data.partition(b"\r\n\r\n")
    lines = head.decode().split("\r\n")
    headers = dict(line.split(": ", 1) for line in lines[1:])
    return lines[0], headers, body


def exchange(server, request):
    with server.connect() as client:
        client.sendall(request)
        return split_response(receive_all(client))


class ServeTestCase(unittest.TestCase):
    def setUp(self):
        self.server = Server()
        self.assertEqual(self.server.banner, BANNER.format(self.server.address))

    def tearDown(self):
        self.assertEqual(self.server.stop(), 0)

    def assert_scrape_answered(self):
        status, headers, body = exchange(self.server, SCRAPE)
        self.assertEqual(status, "HTTP/1.1 200 OK")
        self.assertEqual(int(headers["Content-Length"]), len(body))
        self.assertIn(b"_build_info{", body)


class RequestReading(ServeTestCase):
    def test_head_sent_one_byte_at_a_time_is_answered_after_its_last_byte(self):
        with self.server.connect() as client:
            for byte in SCRAPE:
                client.send(bytes([byte]))
                time.sleep(0.003)
            status, headers, body = split_response(receive_all(client))
        self.assertEqual(status, "HTTP/1.1 200 OK")
        self.assertEqual(int(headers["Content-Length"]), len(body))

    def test_peer_that_sends_nothing_gets_its_empty_request_answered(self):
        with self.server.connect() as client:
            client.shutdown(socket.SHUT_WR)
            status, _, body = split_response(receive_all(client))
        self.assertEqual(status, "HTTP/1.1 405 Method Not Allowed")
        self.assertEqual(body, b"405 Method Not Allowed\n")
        self.server.connect().close()
        self.assert_scrape_answered()

    def test_unread_request_bytes_do_not_reset_the_response(self):
        requests = {
            "head over the size limit": b"GET /metrics HTTP/1.1\r\nX: " + b"a" * 70000,
            "body after the head": b"POST /metrics HTTP/1.1\r\nContent-Length: 300000\r\n\r\n"
            + b"b" * 300000,
        }
        for name, request in requests.items():
            with self.subTest(name), self.server.connect() as client:
                client.sendall(request)
                status, headers, body = split_response(receive_all(client))
                self.assertIn(status, ("HTTP/1.1 200 OK", "HTTP/1.1 405 Method Not Allowed"))
                self.assertEqual(int(headers["Content-Length"]), len(body))

    def test_two_connections_at_once_are_both_answered(self):
        first, second = self.server.connect(), self.server.connect()
        with first, second:
            second.sendall(SCRAPE)
            first.sendall(b"GET / HTTP/1.1\r\n\r\n")
            self.assertEqual(split_response(receive_all(second))[0], "HTTP/1.1 200 OK")
            self.assertEqual(split_response(receive_all(first))[0], "HTTP/1.1 404 Not Found")


class SlowAndBrokenPeers(ServeTestCase):
    def test_silent_peer_delays_the_next_scrape_by_at_most_the_head_limit(self):
        with self.server.connect() as silent:
            time.sleep(0.2)  # let the server take the silent peer first
            started = time.monotonic()
            self.assert_scrape_answered()
            self.assertLess(time.monotonic() - started, HEAD_LIMIT + SLACK)
            status, _, _ = split_response(receive_all(silent))
            self.assertEqual(status, "HTTP/1.1 405 Method Not Allowed")

    def test_trickling_peer_is_answered_with_what_it_sent_by_the_head_limit(self):
        with self.server.connect() as trickler:
            started = time.monotonic()
            for byte in b"GET /metrics HTTP/1.1\r\nX: ":
                trickler.send(bytes([byte]))
            trickler.settimeout(0.2)
            response = b""
            while time.monotonic() - started < 10:
                try:
                    chunk = trickler.recv(65536)
                except socket.timeout:
                    trickler.send(b"x")
                    continue
                if not chunk:
                    break
                response += chunk
            self.assertLess(time.monotonic() - started, HEAD_LIMIT + SLACK)
        self.assertEqual(split_response(response)[0], "HTTP/1.1 200 OK")



class ResettingPeers(unittest.TestCase):
    def test_peers_that_reset_before_or_during_the_response_do_not_end_the_server(self):
        # A long prefix makes the response megabytes long, so that the server
        # is still sending when the reset arrives.
        server = Server("--metrics-prefix", "p" * 100000)
        try:
            linger_zero = struct.pack("ii", 1, 0)
            partial_head = b"GET /metrics HTTP/1.1\r\n"
            for request, read_first in [(partial_head, 0), (SCRAPE, 0), (SCRAPE, 100)] * 3:
                with server.connect() as client:
                    client.sendall(request)
                    if read_first:
                        client.recv(read_first)
                    client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, linger_zero)
                time.sleep(0.05)
            with server.connect() as client:
                client.sendall(SCRAPE)
                status, headers, body = split_response(receive_all(client))
            self.assertEqual(status, "HTTP/1.1 200 OK")
            self.assertGreater(len(body), 3000000)
            self.assertEqual(int(headers["Content-Length"]), len(body))
        finally:
            self.assertEqual(server.stop(), 0)


class Stopping(unittest.TestCase):
    def test_stop_signal_while_idle_ends_with_status_zero_within_a_second(self):
        for stop in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=stop.name):
                server = Server()
                time.sleep(0.3)
                started = time.monotonic()
                server.process.send_signal(stop)
                self.assertEqual(server.stop(), 0)
                self.assertLess(time.monotonic() - started, 1.5)

    def test_stop_signal_while_a_peer_is_silent_is_honoured_after_the_head_limit(self):
        server = Server()
        with server.connect():
            time.sleep(0.2)
            started = time.monotonic()
            server.process.send_signal(signal.SIGTERM)
            self.assertEqual(server.stop(timeout=10), 0)
            self.assertLess(time.monotonic() - started, HEAD_LIMIT + SLACK)


class StartUpDiagnostics(unittest.TestCase):
    def start_failure(self, address):
        result = subprocess.run([BINARY, "-l", address], capture_output=True, text=True, timeout=30)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout, "")
        return result.stderr

    def test_unusable_addresses_are_named_in_one_line_without_a_banner(self):
        self.assertEqual(
            self.start_failure("9272"),
            "invalid listen address '9272', expected ADDR:PORT\n",
        )
        self.assertEqual(
            self.start_failure(""), "invalid listen address '', expected ADDR:PORT\n"
        )
        self.assertRegex(self.start_failure("[::1]:9272"), r"^getaddrinfo\(\[::1\]:9272\): .+\n$")
        self.assertRegex(
            self.start_failure("127.0.0.1:no-such-service-here"),
            r"^getaddrinfo\(127\.0\.0\.1:no-such-service-here\): .+\n$",
        )

    def test_port_in_use_cannot_be_bound(self):
        with socket.socket() as holder:
            holder.bind(("127.0.0.1", 0))
            holder.listen()
            address = "127.0.0.1:{}".format(holder.getsockname()[1])
            self.assertEqual(self.start_failure(address), "cannot bind to {}\n".format(address))

    def test_service_name_is_resolved_as_the_port(self):
        for name in ("openvpn", "rootd", "proofd", "socks"):
            try:
                port = socket.getservbyname(name, "tcp")
            except OSError:
                continue
            with socket.socket() as probe:
                probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                try:
                    probe.bind(("127.0.0.1", port))
                except OSError:
                    continue
            break
        else:
            self.skipTest("no free port with a service name in /etc/services")
        process = subprocess.Popen(
            [BINARY, "-l", "127.0.0.1:" + name], stderr=subprocess.PIPE, text=True
        )
        try:
            banner = process.stderr.readline()
            self.assertEqual(banner, BANNER.format("127.0.0.1:" + name))
            with socket.create_connection(("127.0.0.1", port), timeout=10) as client:
                client.sendall(SCRAPE)
                self.assertEqual(split_response(receive_all(client))[0], "HTTP/1.1 200 OK")
        finally:
            process.send_signal(signal.SIGTERM)
            self.assertEqual(process.wait(5), 0)
            process.stderr.close()


if __name__ == "__main__":
    BINARY = os.path.abspath(sys.argv.pop(1))
    unittest.main()
