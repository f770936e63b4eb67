import os
import socket
import sys
import tempfile
import threading
import time
import unittest

from top_harness import TopRun, rates_in, table_rows

BINARY = None
PUSH_SECONDS = 2.6


def paced(rate, chunk, send):
    """Calls send(chunk) at `rate` bytes per second for PUSH_SECONDS."""
    started = time.monotonic()
    sent = 0
    while time.monotonic() - started < PUSH_SECONDS:
        due = rate * (time.monotonic() - started)
        while sent < due:
            send(chunk)
            sent += len(chunk)
        time.sleep(0.005)


def rows_named(frames, header_word, name):
    """Per frame: the rates of the device's row, None when it has no row."""
    found = []
    for frame in frames:
        rows = table_rows(frame, header_word)
        if rows is None:
            return None
        matching = [row for row in rows if row.split(b" ", 1)[0] == name]
        found.append(rates_in(matching[0]) if matching else None)
    return found


class TopRates(unittest.TestCase):
    def measure(self, push):
        """Frames written while `push` runs, after one frame of quiet."""
        with tempfile.TemporaryDirectory() as directory:
            run = TopRun(BINARY, os.path.join(directory, "out"))
            before = len(run.wait_for_frames(1))
            push()
            run.wait_for_frames(before + 1)
            self.assertEqual(run.stop(), 0)
        # Frames drawn one second or more into the push cover a busy second.
        return run.frames()[before + 1 :]

    def test_loopback_rate(self):
        rate = 24 << 20
        receiver_side, sender_side = tcp_pair()
        drained = threading.Thread(target=lambda: self.drain(receiver_side), daemon=True)
        drained.start()
        frames = self.measure(lambda: paced(rate, b"x" * 65536, sender_side.sendall))
        sender_side.close()
        drained.join(5)
        receiver_side.close()

        rows = rows_named(frames, b"Iface", b"lo")
        if rows is None:
            self.skipTest("no interface table is shown on this host")
        if not any(rows):
            self.skipTest("the interface table has no 'lo' row on this host")
        rx_rates = [row[0] for row in rows if row]
        # Other users of loopback can only add to the figure.
        self.assertTrue(any(rate / 2 <= rx <= rate * 2.5 for rx in rx_rates), rx_rates)

    def test_disk_write_rate(self):
        rate = 12 << 20
        directory = os.path.dirname(os.path.abspath(BINARY))
        disk = disk_holding(directory)
        if disk is None:
            self.skipTest(f"{directory} is not on a block device")
        path = os.path.join(directory, "top-rates-write-test")
        descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
        block = os.urandom(1 << 20)

        def write_and_sync(chunk):
            os.write(descriptor, chunk)
            os.fsync(descriptor)

        try:
            frames = self.measure(lambda: paced(rate, block, write_and_sync))
        finally:
            os.close(descriptor)
            os.unlink(path)

        rows = rows_named(frames, b"Disk", disk.encode())
        if rows is None:
            self.skipTest("no disk table is shown on this host")
        if not any(rows):
            self.skipTest(f"the disk table has no row for {disk}, the disk holding {directory}")
        write_rates = [row[1] for row in rows if row]
        # Other writers to the same disk can only add to the figure.
        self.assertTrue(any(written >= rate / 2 for written in write_rates), write_rates)

    @staticmethod
    def drain(connection):
        while connection.recv(1 << 20):
            pass


def tcp_pair():
    listener = socket.create_server(("127.0.0.1", 0))
    sender = socket.create_connection(listener.getsockname())
    receiver, _ = listener.accept()
    listener.close()
    return receiver, sender


def disk_holding(directory):
    """The whole-disk block device name holding `directory`, or None."""
    device = os.stat(directory).st_dev
    sys_path = f"/sys/dev/block/{os.major(device)}:{os.minor(device)}"
    if not os.path.exists(sys_path):
        return None
    real = os.path.realpath(sys_path)
    if os.path.exists(os.path.join(real, "partition")):
        real = os.path.dirname(real)
    return os.path.basename(real)


if __name__ == "__main__":
    BINARY = sys.argv.pop(1)
    unittest.main()
