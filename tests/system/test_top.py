# The top-like view of the built program on a terminal.

import contextlib, ctypes, fcntl, os, pty, re, select, shutil, signal, socket, struct, subprocess, tempfile, termios
import threading, time, tty
import unittest

from harness import BINARY, spawn

FRAME_START = b"\x1b[2J\x1b[H"
FRAME = re.compile(
    rb"kelmar-host-perfdata - top-like \(Ctrl-C to quit\)\n\nCPU: +\d+\.\d% busy .*\nMem:  "
    rb"\d+\.\d \w+ / \d+\.\d \w+ used \(\d+\.\d%\)\nLoad: \d+\.\d\d \d+\.\d\d \d+\.\d\d   Swap: "
    rb"\d+\.\d \w+ / \d+\.\d \w+.*\n\nDisk .*\n(.+\n)*\nIface .*\n(.+\n)+")


# Moves this process, and so the views it starts, into a network namespace of
# its own with the loopback interface up, so that traffic of other programs on
# the machine's loopback interface cannot show in the measured rate. Where that
# is not allowed the views share the machine's. Returns whether it is private.
def private_loopback():
    new_net, new_user = 0x40000000, 0x10000000
    uid, gid, libc = os.geteuid(), os.getegid(), ctypes.CDLL(None)
    shared = os.open("/proc/self/ns/net", os.O_RDONLY)
    if libc.unshare(new_net | (0 if uid == 0 else new_user)) != 0:
        return False
    if uid != 0:  # root of the new user namespace, so that ip keeps its capabilities
        for name, text in [("setgroups", "deny"), ("uid_map", f"0 {uid} 1"), ("gid_map", f"0 {gid} 1")]:
            with open(f"/proc/self/{name}", "w") as map_file:
                map_file.write(text)
    # A container may let a namespace be made but not its interface be set up.
    if subprocess.run(["ip", "link", "set", "lo", "up"], capture_output=True).returncode != 0:
        if libc.setns(shared, new_net) != 0:
            raise unittest.SkipTest("cannot bring up the loopback interface of a new namespace")
        return False
    return True


# Interfaces and their order, as the kernel lists them.
def interface_names():
    links = subprocess.run(["ip", "-o", "link", "show"], capture_output=True, check=True).stdout
    return re.findall(rb"^\d+: ([^:@]+)", links, re.M)


def set_window(terminal, rows, columns):
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))


# Runs the view on a terminal, of the first of `windows` (rows, columns) if
# any, and gives it each next size after two frames more; two frames after the
# last, SIGINT. Returns the exit status, standard error, whether there was
# output within 0.7 s of start, and the output.
def view(*windows):
    master, out = pty.openpty()
    tty.setraw(out)  # so that the terminal passes "\n" on as it is
    if windows:
        set_window(out, *windows[0])
    process = spawn([BINARY, "-t"], stdout=out, stderr=subprocess.PIPE)
    early = bool(select.select([master], [], [], 0.7)[0])
    output = b""
    for window in windows[1:] + (None,):
        wanted, deadline = output.count(FRAME_START) + 2, time.monotonic() + 20
        while output.count(FRAME_START) < wanted and time.monotonic() < deadline:
            if select.select([master], [], [], 0.5)[0]:
                output += os.read(master, 65536)
        if window:
            set_window(out, *window)
    process.send_signal(signal.SIGINT)
    error = process.communicate(timeout=10)[1]
    os.close(out)
    with contextlib.suppress(OSError):  # EIO once all is read from a closed terminal
        while chunk := os.read(master, 65536):
            output += chunk
    os.close(master)
    return process.returncode, error, early, output


# Raw frames out of the veth `name` until `stop` is set, bounded.
def send_frames(name, stop):
    with socket.socket(socket.AF_PACKET, socket.SOCK_RAW) as raw:
        raw.bind((name, 0))
        for _ in range(6000):
            if stop.wait(0.005):
                break
            raw.send(b"\xff" * 6 + b"\x02" + bytes(5) + b"\x88\xb5" + bytes(86))


def interface_table(frame):
    lines = frame.split(b"\n")
    start = lines.index(next(line for line in lines if line.startswith(b"Iface ")))
    return lines[start + 1:]


class TopView(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.private = private_loopback()

    def test_frames_and_rates_until_a_stop_signal(self):
        rate = 24 << 20

        def send_at_rate():  # over loopback, to a socket that reads nothing
            with socket.socket(type=socket.SOCK_DGRAM) as sink, \
                    socket.socket(type=socket.SOCK_DGRAM) as sender:
                sink.bind(("127.0.0.1", 0))
                started, sent = time.monotonic(), 0
                while time.monotonic() - started < 3.0:
                    while sent < rate * (time.monotonic() - started):
                        sent += sender.sendto(bytes(60000), sink.getsockname())
                    time.sleep(0.005)

        threading.Thread(target=send_at_rate).start()
        status, error, early, output = view()
        self.assertEqual((status, error, early), (0, b"", False))
        # Nothing before the first frame, which comes about a second after start.
        self.assertTrue(output.startswith(FRAME_START))
        frames = output.split(FRAME_START)[1:]
        self.assertGreaterEqual(len(frames), 2)
        # The last frame stays on screen, followed by exactly one "\n".
        for frame in frames[:-1] + [frames[-1][:-1]]:
            self.assertIsNotNone(FRAME.fullmatch(frame), frame)
        # Every frame's rate is the flow's own on a loopback interface of our
        # own; on the machine's, others' traffic adds to it.
        received = [float(mib) * 2**20 / rate
                    for mib in re.findall(rb"\nlo +(\d+\.\d) MiB/s", output)]
        low, high, frames_within = (0.8, 1.25, all) if self.private else (0.5, 2.5, any)
        self.assertTrue(received and frames_within(low <= rx <= high for rx in received), received)

    def test_stop_during_start_up_gives_no_frame(self):
        # The view ignores the signal until it installs its handler, so it can
        # be repeated from the very start.
        with tempfile.TemporaryFile() as out:
            process = spawn([BINARY, "-t"], stdout=out, preexec_fn=lambda: signal.signal(
                signal.SIGTERM, signal.SIG_IGN))
            deadline = time.monotonic() + 3
            while process.poll() is None and time.monotonic() < deadline:
                process.send_signal(signal.SIGTERM)
                time.sleep(0.002)
            self.assertEqual(process.wait(5), 0)
            out.seek(0)
            self.assertEqual(out.read(), b"\n")


# A host with as many interfaces as one with a jail each: 60 veth pairs and
# the loopback interface, in a network namespace of our own. The last pair
# carries traffic.
class ManyInterfaces(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not private_loopback():
            raise unittest.SkipTest("no network namespace of our own for the veth pairs")
        batch = "".join(f"link add v{i}a type veth peer name v{i}b\n" for i in range(60))
        batch += "link set v59a up\nlink set v59b up\n"
        subprocess.run(["ip", "-batch", "-"], input=batch.encode(), capture_output=True, check=True)
        cls.names = interface_names()
        assert len(cls.names) == 121, cls.names

    def test_each_frame_fits_its_window_and_follows_a_resize(self):
        stop = threading.Event()
        sender = threading.Thread(target=send_frames, args=("v59a", stop))
        sender.start()
        try:
            status, error, early, output = view((24, 60), (50, 120))
        finally:
            stop.set()
            sender.join()
        self.assertEqual((status, error, early), (0, b"", False))
        frames = output.split(FRAME_START)[1:]
        frames[-1] = frames[-1].removesuffix(b"\n")  # the one after the last frame
        # Each frame fills its window exactly, ending without a newline so
        # that the title does not scroll away; the new size from the first
        # frame after the resize.
        shapes = [(frame.count(b"\n") + 1, max(map(len, frame.split(b"\n")))) for frame in frames]
        self.assertRegex(" ".join(f"{rows}x{width}" for rows, width in shapes),
                         r"^(24x60 ){2,}(50x\d+ ?){2,}$")
        self.assertTrue(all(width <= 120 for _, width in shapes), shapes)
        for frame in frames:
            lines = frame.split(b"\n")
            self.assertEqual([lines[0], *(line[:5] for line in lines[1:5])],
                             [b"kelmar-host-perfdata - top-like (Ctrl-C to quit)", b"", b"CPU: ",
                              b"Mem: ", b"Load:"])
            *rows, more = interface_table(frame)
            # Busy rows first, the idle ones from the top, all in the kernel's
            # order; the last line counts the rest, all idle.
            shown = [row.split(b" ")[0] for row in rows]
            busy = [name for name, row in zip(shown, rows)
                    if not re.match(rb"\S+ +0\.0 B/s +0\.0 B/s +0\s", row)]
            idle = [name for name in self.names if name not in busy]
            self.assertEqual({b"v59a", b"v59b"} - set(busy), set())
            self.assertEqual(shown, [name for name in self.names
                                     if name in busy or name in idle[:len(shown) - len(busy)]])
            hidden = len(self.names) - len(shown)
            self.assertEqual(more, b"... %d more interfaces (%d idle)" % (hidden, hidden))

    def test_output_that_is_no_terminal_gets_every_row_each_frame_in_one_write(self):
        with tempfile.TemporaryDirectory() as directory:
            trace = shutil.which("strace")
            command = [trace, "-qq", "-e", "trace=write", "-e", "signal=none", "-o",
                       f"{directory}/trace"] if trace else []
            def written():
                with open(f"{directory}/out", "rb") as out:
                    return out.read()

            # LeakSanitizer, in a sanitizer build, cannot work under a tracer.
            env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") +
                       ":detect_leaks=0")
            with open(f"{directory}/out", "wb") as out:
                process = spawn(command + [BINARY, "-t"], stdout=out, env=env)
            deadline = time.monotonic() + 20
            while written().count(FRAME_START) < 2 and time.monotonic() < deadline:
                time.sleep(0.2)
            view = process.pid
            if trace:  # the view is the tracer's only child
                with open(f"/proc/{view}/task/{view}/children") as children:
                    view = int(children.read())
            os.kill(view, signal.SIGTERM)
            self.assertEqual(process.wait(10), 0)
            frames = written().split(FRAME_START)[1:]
            self.assertGreaterEqual(len(frames), 2)
            for frame in frames:
                names = [row.split(b" ")[0] for row in interface_table(frame) if row]
                self.assertEqual(names, self.names)
            if not trace:
                self.skipTest("strace is not installed: the writes per frame were not counted")
            with open(f"{directory}/trace") as calls:
                writes = re.findall(r'^write\(1, "(\\33\[2J|\\n")?', calls.read(), re.M)
            self.assertEqual(writes, ["\\33[2J"] * len(frames) + ['\\n"'])


if __name__ == "__main__":
    unittest.main()
