# How long a scrape waits behind peers that connected before it: peers that
# send nothing, and peers that send one byte and then stall.
#
#   idle_peers.py BINARY [COUNT...]    (default counts: 0 1 5 20 100)

import socket, subprocess, sys, time

SCRAPE = b"GET /metrics HTTP/1.1\r\nHost: bench\r\n\r\n"


def delay(binary, peers, first_bytes):
    with socket.create_server(("127.0.0.1", 0)) as probe:
        port = probe.getsockname()[1]
    server = subprocess.Popen([binary, "-l", f"127.0.0.1:{port}"], stderr=subprocess.PIPE)
    server.stderr.readline()
    try:
        waiting = [socket.create_connection(("127.0.0.1", port)) for _ in range(peers)]
        for peer in waiting:
            peer.send(first_bytes)
        time.sleep(0.3)
        started = time.monotonic()
        with socket.create_connection(("127.0.0.1", port), timeout=120) as client:
            client.sendall(SCRAPE)
            while client.recv(65536):
                pass
        took = time.monotonic() - started
        for peer in waiting:
            peer.close()
        return took
    finally:
        server.kill()
        server.wait()


def main():
    binary = sys.argv[1]
    counts = [int(count) for count in sys.argv[2:]] or [0, 1, 5, 20, 100]
    print("peers  silent (s)  one byte, then stalled (s)")
    for count in counts:
        # Stalled peers cost 2 seconds each: past 20, the wait is only longer.
        stalled = f"{delay(binary, count, b'G'):10.2f}" if count <= 20 else "         -"
        print(f"{count:5}  {delay(binary, count, b''):10.2f}  {stalled}", flush=True)


if __name__ == "__main__":
    main()
