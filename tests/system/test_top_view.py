import os
import re
import signal
import sys
import tempfile
import time
import unittest

from top_harness import FRAME_START, TITLE, TopRun

BINARY = None

CPU_LINE = rb"CPU:  [ \d]{3}\.\d% busy   user -?\d+\.\d%  sys -?\d+\.\d%  intr -?\d+\.\d%  idle -?\d+\.\d%\n"
MEM_LINE = rb"Mem:  \d+\.\d [KMGT]?i?B / \d+\.\d [KMGT]?i?B used \(\d+\.\d%\)\n"
SUMMARY_LINE = rb"(Load: \d+\.\d\d \d+\.\d\d \d+\.\d\d)?(   Swap: [^\n]+ / [^\n]+)?(   ARC: [^\n]+)?\n"
TABLE = rb"(\n(Disk|Iface) [^\n]*\n([^\n]+\n)*)?"
FRAME = re.compile(CPU_LINE + MEM_LINE + SUMMARY_LINE + TABLE + TABLE)


class TopView(unittest.TestCase):
    def check_run(self, run, stop_signal):
        frames = run.wait_for_frames(2)
        self.assertGreaterEqual(len(frames), 2, run.output)
        status = run.stop(stop_signal)
        self.assertEqual(status, 0)
        self.assertEqual(run.stderr, b"")
        # Nothing before the first frame, which came about a second after start.
        self.assertTrue(run.output.startswith(FRAME_START))
        self.assertGreater(run.first_output_at - run.started, 0.9)
        self.assertLess(run.first_output_at - run.started, 2.5)

        frames = run.output.split(FRAME_START)[1:]
        for frame in frames:
            self.assertTrue(frame.startswith(TITLE), frame)
            self.assertTrue(frame.endswith(b"\n"), frame)
        # The final frame stays on screen, followed by exactly one newline.
        last = frames[-1]
        self.assertTrue(last.endswith(b"\n\n") and not last.endswith(b"\n\n\n"), last)
        for frame in frames[:-1] + [last[:-1]]:
            self.assertIsNotNone(FRAME.fullmatch(frame[len(TITLE) :]), frame)
            self.assertNotIn(b"\n\n\n", frame)
        return frames

    def test_terminal_stopped_by_sigint(self):
        self.check_run(TopRun(BINARY), signal.SIGINT)

    def test_file_stopped_by_sigterm(self):
        with tempfile.TemporaryDirectory() as directory:
            self.check_run(TopRun(BINARY, os.path.join(directory, "out")), signal.SIGTERM)

    def test_stop_before_the_first_frame_writes_only_a_newline(self):
        # The stop signal is ignored until the view installs its handler, so it
        # can be repeated from the very start without killing the process.
        def ignore_stop_signals():
            signal.signal(signal.SIGTERM, signal.SIG_IGN)

        with tempfile.TemporaryDirectory() as directory:
            run = TopRun(BINARY, os.path.join(directory, "out"), ignore_stop_signals)
            while run.process.poll() is None and time.monotonic() - run.started < 0.8:
                run.process.send_signal(signal.SIGTERM)
                time.sleep(0.002)
            status = run.finish()
        self.assertEqual(status, 0)
        self.assertEqual(run.output, b"\n")
        self.assertLess(time.monotonic() - run.started, 2.0)


if __name__ == "__main__":
    BINARY = sys.argv.pop(1)
    unittest.main()
