# The top-like view of the built program on a terminal.

import contextlib, ctypes, os, pty, re, select, signal, socket, subprocess, tempfile, threading, time, tty
import unittest

from harness import BINARY, spawn

FRAME_START = b"\x1b[2J\x1b[H"
FRAME = re.compile(
    rb"kelmar-host-perfdata - top-like \(Ctrl-C to quit\)\n\nCPU: +\d+\.\d% busy .*\nMem:  "
    rb"\d+\.\d \w+ / \d+\.\d \w+ used \(\d+\.\d%\)\nLoad: \d+\.\d\d \d+\.\d\d \d+\.\d\d   Swap: "
    rb"\d+\.\d \w+ / \d+\.\d \w+.*\n\nDisk .*\n(.+\n)*\nIface .*\n(.+\n)+")


# Runs the view on a terminal for 2.8 s, then sends SIGINT. Returns the exit
# status, standard error, whether there was output 0.7 s after start, and the
# output.
def view():
    master, out = pty.openpty()
    tty.setraw(out)  # so that the terminal passes "\n" on as it is
    process = spawn([BINARY, "-t"], stdout=out, stderr=subprocess.PIPE)
    time.sleep(0.7)
    early = select.select([master], [], [], 0)[0]
    time.sleep(2.1)
    process.send_signal(signal.SIGINT)
    error = process.communicate(timeout=10)[1]
    os.close(out)
    output = b""
    with contextlib.suppress(OSError):  # EIO once all is read from a closed terminal
        while chunk := os.read(master, 65536):
            output += chunk
    os.close(master)
    return process.returncode, error, bool(early), output


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


if __name__ == "__main__":
    unittest.main()
