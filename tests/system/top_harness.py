"""Runs the top-like view and splits what it wrote into frames."""

import os
import pty
import re
import select
import signal
import subprocess
import time
import tty

FRAME_START = b"\x1b[2J\x1b[H"
TITLE = b"kelmar-host-perfdata - top-like (Ctrl-C to quit)\n\n"


class TopRun:
    """The view with its standard output on a pseudo-terminal or in a file."""

    def __init__(self, binary, output_path=None, preexec_fn=None):
        self.started = time.monotonic()
        self.first_output_at = None
        self.output = b""
        self.master = None
        self.file_path = output_path
        if output_path is None:
            self.master, slave = pty.openpty()
            # Raw mode: the terminal must not turn "\n" into "\r\n", so the
            # bytes can be compared with a run into a file.
            tty.setraw(slave)
            stdout = slave
        else:
            stdout = open(output_path, "wb")
        self.process = subprocess.Popen(
            [binary, "-t"], stdout=stdout, stderr=subprocess.PIPE, preexec_fn=preexec_fn
        )
        if output_path is None:
            os.close(slave)
        else:
            stdout.close()

    def _pump(self, timeout):
        if self.master is not None:
            ready, _, _ = select.select([self.master], [], [], timeout)
            if ready:
                try:
                    chunk = os.read(self.master, 65536)
                except OSError:  # the terminal closes when the view exits
                    chunk = b""
                if chunk and self.first_output_at is None:
                    self.first_output_at = time.monotonic()
                self.output += chunk
        else:
            time.sleep(timeout)
            with open(self.file_path, "rb") as written:
                self.output = written.read()
            if self.output and self.first_output_at is None:
                self.first_output_at = time.monotonic()

    def wait_for_frames(self, count, limit=5.0):
        deadline = time.monotonic() + limit
        while len(self.frames()) < count and time.monotonic() < deadline:
            self._pump(0.02)
        return self.frames()

    def stop(self, signal_number=signal.SIGINT):
        self.process.send_signal(signal_number)
        return self.finish()

    def finish(self, limit=5.0):
        status = self.process.wait(limit)
        deadline = time.monotonic() + 0.5
        if self.master is not None:
            while time.monotonic() < deadline:
                before = len(self.output)
                self._pump(0.05)
                if len(self.output) == before:
                    break
            os.close(self.master)
        else:
            self._pump(0)
        self.stderr = self.process.stderr.read()
        self.process.stderr.close()
        return status

    def frames(self):
        """Complete frames: each one is followed by the next or by the final newline."""
        pieces = self.output.split(FRAME_START)[1:]
        return pieces if self.process.poll() is not None else pieces[:-1]


RATE = re.compile(rb"(\d+\.\d) (B|KiB|MiB|GiB|TiB)/s")
UNITS = {b"B": 1, b"KiB": 1 << 10, b"MiB": 1 << 20, b"GiB": 1 << 30, b"TiB": 1 << 40}


def rates_in(row):
    """Bytes per second of every rate text in a row, left to right."""
    return [float(value) * UNITS[unit] for value, unit in RATE.findall(row)]


def table_rows(frame, header_word):
    """The rows of the table whose header starts with `header_word`, or None."""
    lines = frame.split(b"\n")
    for index, line in enumerate(lines):
        if line.startswith(header_word + b" "):
            rows = []
            for row in lines[index + 1 :]:
                if not row:
                    break
                rows.append(row)
            return rows
    return None
