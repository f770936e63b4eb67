# What the system tests and the soak share: the program under test, every
# process they start ended with them, a server on a loopback port, a reader of
# the exposition text and a network namespace.

import atexit, contextlib, ctypes, os, re, resource, signal, socket, subprocess, sys, time
import unittest

# CTest runs each test script as `python3 SCRIPT BINARY`; the soak names it itself.
BINARY = os.path.abspath(sys.argv.pop(1)) if "/test_" in sys.argv[0] else None
FAMILY = re.compile(r"# HELP (\S+) [^\n]*\n# TYPE \1 (\w+)\n((?:\1[{ ][^\n]*\n)*)")
SCRAPE = b"GET /metrics HTTP/1.1\r\nHost: test\r\n\r\n"

# Every process started here leads a process group of its own, which is killed
# when this script ends by any way but SIGKILL, and the process itself is
# killed by the kernel even then: a failed or timed-out test leaves nothing
# running (a faulty server may spin and ignore every stop signal).
groups = []
libc = ctypes.CDLL(None, use_errno=True)


def end(group):
    with contextlib.suppress(ProcessLookupError):
        os.killpg(group, signal.SIGKILL)


def end_all(*stop_signal):
    for group in groups:
        end(group)
    if stop_signal:  # a test runner stopping this script: no test may go on
        os._exit(128 + stop_signal[0])


atexit.register(end_all)
signal.signal(signal.SIGTERM, end_all)


def spawn(args, preexec_fn=None, **options):
    def own_group():
        os.setpgid(0, 0)
        libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
        if preexec_fn:
            preexec_fn()

    process = subprocess.Popen(args, preexec_fn=own_group, **options)
    groups.append(process.pid)
    return process


def run(*args, binary=None, timeout=60):
    with spawn([binary or BINARY, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
               text=True) as process:
        try:
            out, err = process.communicate(timeout=timeout)
        finally:
            end(process.pid)
    return subprocess.CompletedProcess(process.args, process.returncode, out, err)


def free_port(host="127.0.0.1"):
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    with socket.create_server((host, 0), family=family) as probe:
        return probe.getsockname()[1]


# The program serving on a loopback address; leaving the block stops it and
# requires exit status 0.
# `files` sets its limit of open descriptors.
class Server:
    def __init__(self, *args, host="127.0.0.1", port=None, binary=None, files=None):
        self.host, self.port = host, port or free_port(host)
        self.address = f"[{host}]:{self.port}" if ":" in host else f"{host}:{self.port}"
        limit = files and (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (files, files)))
        self.process = spawn([binary or BINARY, *args, "-l", self.address], preexec_fn=limit,
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        self.pid, self.stderr = self.process.pid, self.process.stderr
        self.banner = self.stderr.readline()

    def __enter__(self):
        return self

    def connect(self, timeout=10):
        client = socket.create_connection((self.host, self.port), timeout=timeout)
        client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return client

    def stop(self, stop_signal=signal.SIGTERM, after=0):  # the status and the seconds it took
        time.sleep(after)
        started = time.monotonic()
        self.process.send_signal(stop_signal)
        return self.process.wait(10), time.monotonic() - started

    def __exit__(self, error, *rest):
        try:
            status = self.stop()[0] if self.process.poll() is None else self.process.returncode
        finally:
            end(self.pid)
            self.stderr.close()
        assert error or status == 0, status


# What the kernel says of a running process: resident memory, open
# descriptors and the CPU time it used, in ticks.
def status_of(pid):
    proc = f"/proc/{pid}"
    with open(f"{proc}/status") as status, open(f"{proc}/stat") as stat:
        fields = dict(line.split(":", 1) for line in status.read().splitlines())
        ticks = stat.read().rsplit(")", 1)[1].split()
    return {"rss_kib": int(fields["VmRSS"].split()[0]), "fds": len(os.listdir(f"{proc}/fd")),
            "cpu_ticks": int(ticks[11]) + int(ticks[12])}


# Sends the request, reads the response to the end, closes the connection and
# returns the status code and the body, whose length must be the one announced.
def exchange(client, request=SCRAPE):
    with client:
        client.sendall(request)
        data = b"".join(iter(lambda: client.recv(65536), b""))
    head, _, body = data.partition(b"\r\n\r\n")
    assert b"\r\nContent-Length: %d\r\n" % len(body) in head + b"\r\n", (head, len(body))
    return int(head.split(b" ")[1]), body


# (name, type, sample lines) per family in text order; fails unless the text is
# nothing but HELP/TYPE pairs, each followed by samples of its own family.
def blocks(text):
    matches = list(FAMILY.finditer(text))
    assert "".join(match[0] for match in matches) == text, "not an exposition text:\n" + text
    return [(match[1], match[2], match[3].splitlines()) for match in matches]


# Runs a shell script as `sh -c SCRIPT BINARY ARGS...` in a network namespace
# of its own, without root as root of a user namespace where the system allows
# it; skips the test when the namespace or its veth pairs (exit 77) cannot be
# made. Returns standard output.
def in_namespace(script, *args):
    unshare = ["unshare", "-n"] if os.geteuid() == 0 else ["unshare", "-rn"]
    result = run(*unshare[1:], "sh", "-c", script, BINARY, *args, binary=unshare[0])
    if result.returncode == 77 or result.stderr.startswith("unshare"):
        raise unittest.SkipTest("cannot create a network namespace with veth pairs (needs CAP_NET_"
                                f"ADMIN or user namespaces, and iproute2): {result.stderr.strip()}")
    assert result.returncode == 0, result.stderr
    return result.stdout
