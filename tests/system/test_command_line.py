"""The program's options, texts and exit statuses, run as a user runs it."""

import os
import re
import subprocess
import sys
import unittest

BINARY = None
USAGE = "Usage: {} [-l ADDR:PORT] [--metrics-prefix PREFIX] [--dump] [-t] [-v] [-h]\n"


def read_text(path):
    with open(path) as file:
        return file.read()


def run(*args):
    return subprocess.run([BINARY, *args], capture_output=True, text=True, timeout=20)


class CommandLine(unittest.TestCase):
    def test_help_and_version(self):
        result = run("-h")
        self.assertEqual((result.returncode, result.stdout, result.stderr),
                         (0, USAGE.format(BINARY), ""))
        self.assertEqual(run("--help", "--dump").stdout, USAGE.format(BINARY))

        version = run("-v")
        self.assertEqual(version.returncode, 0)
        self.assertRegex(version.stdout, r"^[0-9a-f]{8}\n$")
        self.assertEqual(version.stderr, "")
        self.assertEqual(run("--version").stdout, version.stdout)
        # The first of -h and -v wins.
        self.assertEqual(run("-h", "-v").stdout, USAGE.format(BINARY))
        self.assertEqual(run("-v", "-h").stdout, version.stdout)

    def test_bad_options_print_the_library_diagnostic_and_the_usage(self):
        for args in (["--no-such-option"], ["-x"], ["-l"], ["--metrics-prefix"],
                     ["--no-such-option", "-v"]):
            result = run(*args)
            self.assertEqual(result.returncode, 1, args)
            self.assertEqual(result.stdout, "", args)
            lines = result.stderr.splitlines(keepends=True)
            self.assertEqual(len(lines), 2, result.stderr)
            self.assertEqual(lines[1], USAGE.format(BINARY))
        # Options after -v are never examined.
        result = run("-v", "--no-such-option")
        self.assertEqual(result.returncode, 0)
        self.assertRegex(result.stdout, r"^[0-9a-f]{8}\n$")

    def test_dump_ends_with_the_build_information(self):
        version = run("-v").stdout.strip()
        result = run("--dump", "stray-word", "-l", "nowhere")
        self.assertEqual(result.returncode, 0)
        self.assertEqual(result.stderr, "")
        self.assertTrue(result.stdout.endswith(
            "# HELP kelmar_host_build_info Build information (value is always 1).\n"
            "# TYPE kelmar_host_build_info gauge\n"
            'kelmar_host_build_info{version="%s"} 1\n' % version))
        self.assertTrue(result.stdout.startswith(
            "# HELP kelmar_host_cpu_seconds_total CPU time spent per mode, in seconds.\n"))

    def test_metrics_prefix(self):
        names = [line.split()[2] for line in run("--dump", "--metrics-prefix=node").stdout
                 .splitlines() if line.startswith("# TYPE")]
        self.assertTrue(names and all(name.startswith("node_") for name in names), names)

        empty = run("--dump", "--metrics-prefix", "").stdout
        self.assertIn("\n_build_info{version=", empty)
        self.assertIn("# TYPE _cpu_seconds_total counter\n", empty)

        for bad in ("kelmar-host", "1st", "a b"):
            result = run("--dump", "--metrics-prefix", bad)
            self.assertEqual(result.returncode, 1, bad)
            self.assertEqual(result.stdout, "")
            self.assertTrue(result.stderr.startswith("invalid metrics prefix '%s': " % bad))
            self.assertEqual(result.stderr.count("\n"), 1)

    def test_dump_agrees_with_proc(self):
        def proc_cpu():
            fields = read_text("/proc/stat").split("\n", 1)[0].split()[1:8]
            ticks = [int(x) for x in fields]
            hz = os.sysconf("SC_CLK_TCK")
            return {"user": ticks[0] / hz, "nice": ticks[1] / hz, "system": ticks[2] / hz,
                    "interrupt": (ticks[5] + ticks[6]) / hz, "idle": (ticks[3] + ticks[4]) / hz}

        before = proc_cpu()
        text = run("--dump").stdout
        after = proc_cpu()
        for mode in before:
            value = float(re.search(r'_cpu_seconds_total\{mode="%s"\} (\S+)' % mode, text)[1])
            self.assertLessEqual(before[mode] - 1e-9, value, mode)
            self.assertLessEqual(value, after[mode] + 1e-9, mode)

        meminfo = dict(line.split(":", 1) for line in read_text("/proc/meminfo").splitlines())
        total = int(meminfo["MemTotal"].split()[0]) * 1024
        dumped_total = int(re.search(r"\n\w+_memory_total_bytes (\d+)\n", text)[1])
        self.assertLessEqual(abs(dumped_total - total), os.sysconf("SC_PAGESIZE"))
        used = int(re.search(r"\n\w+_memory_used_bytes (\d+)\n", text)[1])
        self.assertLess(used, dumped_total)

        load = [float(x) for x in read_text("/proc/loadavg").split()[:3]]
        dumped_load = float(re.search(r"\n\w+_load15 (\S+)\n", text)[1])
        self.assertAlmostEqual(dumped_load, load[2], delta=0.05)


if __name__ == "__main__":
    BINARY = sys.argv.pop(1)
    unittest.main()
