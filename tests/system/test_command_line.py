# The program run once per command line: options, exit statuses and --dump.

import os, re, socket, subprocess, unittest
from pathlib import Path

from harness import BINARY, blocks, run
from prometheus_client.parser import text_string_to_metric_families

USAGE = f"Usage: {BINARY} [-l ADDR:PORT] [--metrics-prefix PREFIX] [--dump] [-t] [-v] [-h]\n"
# Every family in the order a scrape has them, as the renderer's own test pins
# their text.
FAMILIES = re.findall(r"^# TYPE (\S+) ", (Path(__file__).parents[1] / "fixtures/exposition/"
                      "families.prom").read_text(), re.M)


class CommandLine(unittest.TestCase):
    def test_options_and_exit_statuses(self):
        version = run("-v").stdout
        self.assertRegex(version, r"^[0-9a-f]{8}\n$")
        # The first of -h and -v wins; nothing after it is examined.
        for args, out in [(["-h"], USAGE), (["--help", "--dump"], USAGE), (["--dump", "-h"], USAGE),
                          (["-h", "-v"], USAGE), (["--version"], version), (["-v", "-h"], version),
                          (["-v", "--no-such-option"], version)]:
            result = run(*args)
            self.assertEqual((result.returncode, result.stdout, result.stderr), (0, out, ""), args)
        for args in (["--no-such-option"], ["-x"], ["-l"], ["--metrics-prefix"],
                     ["--no-such-option", "-v"]):
            result = run(*args)
            self.assertEqual((result.returncode, result.stdout), (1, ""), args)
            # The option parser's own diagnostic, then the usage.
            self.assertRegex(result.stderr, "^.+\n" + re.escape(USAGE) + "$")

    def test_metrics_prefix(self):
        names = [name for name, _, _ in blocks(run("--dump", "--metrics-prefix=node").stdout)]
        self.assertTrue(names and all(name.startswith("node_") for name in names), names)
        self.assertIn("\n_build_info{version=", run("--dump", "--metrics-prefix", "").stdout)
        for bad in ("kelmar-host", "1st", "a b"):
            result = run("--dump", "--metrics-prefix", bad)
            self.assertEqual((result.returncode, result.stdout), (1, ""), bad)
            self.assertRegex(result.stderr, "^invalid metrics prefix '%s': [^\n]+\n$" % bad)

    def test_dump_shows_all_families_in_order_that_parsers_accept(self):
        result = run("--dump", "stray-word", "-l", "nowhere")
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        found = blocks(result.stdout)
        arc = os.path.exists("/proc/spl/kstat/zfs/arcstats")
        self.assertEqual([name for name, _, _ in found],
                         [name for name in FAMILIES if arc or "_zfs_" not in name])
        version = run("-v").stdout.strip()
        self.assertEqual(found[-1][2], ['kelmar_host_build_info{version="%s"} 1' % version])
        # This parser drops "_total" from counter names.
        parsed = text_string_to_metric_families(result.stdout)
        self.assertEqual([(family.name, len(family.samples)) for family in parsed],
                         [(name.removesuffix("_total"), len(s)) for name, _, s in found])

    # This host's own /sys/block, whose entries are links, and its own
    # /proc/diskstats: every disk with media that is built on no other device
    # is listed, with its sectors read bracketed by the kernel's before and after.
    def test_this_hosts_own_disks_are_listed(self):
        def sectors_read():  # (sysfs spells a '/' in a name as '!')
            return {f[2]: 512 * int(f[5]) for f in map(str.split, open("/proc/diskstats"))}

        disks = {e.name.replace("!", "/") for e in Path("/sys/block").iterdir()
                 if int((e / "size").read_text()) and (e / "hidden").read_text() != "1\n"
                 and not any((e / "slaves").iterdir())}
        before = sectors_read()
        found = {s.labels["device"]: s.value for f in text_string_to_metric_families(
                 run("--dump").stdout) if f.name == "kelmar_host_disk_read_bytes" for s in f.samples}
        after = sectors_read()
        self.assertEqual(set(found), disks)
        for disk, read in found.items():
            self.assertTrue(before[disk] <= read <= after[disk], (disk, read))

    def test_output_that_cannot_be_written_is_a_failure(self):
        def status(command, serves=False):
            """Exit status and standard error of `BINARY command` (through sh, for
            redirections); stopped by SIGTERM once it says it is ready."""
            ready = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            ready.bind(f"\0kelmar-ready-{os.getpid()}")
            ready.settimeout(10)
            process = subprocess.Popen(["sh", "-c", f'exec "$0" {command}', BINARY],
                                       stderr=subprocess.PIPE, text=True,
                                       env={**os.environ,
                                            "NOTIFY_SOCKET": f"@kelmar-ready-{os.getpid()}"})
            try:
                if serves:
                    self.assertEqual(ready.recv(16), b"READY=1")
                    process.terminate()
                return process.wait(10), process.stderr.read()
            finally:
                ready.close()
                process.kill()
                process.wait()

        # A full disk, and a standard output that is closed.
        for args in ("--dump", "-v", "-h"):
            for redirect in (">/dev/full", ">&-"):
                code, error = status(f"{args} {redirect}")
                self.assertEqual(code, 1, (args, redirect))
                self.assertRegex(error, r"^cannot write to standard output: [^\n]+\n$")
        # A diagnostic or banner that cannot be written is dropped; the status stays.
        with socket.create_server(("127.0.0.1", 0)) as taken:
            busy = "-l 127.0.0.1:%d" % taken.getsockname()[1]
            for redirect in ("2>/dev/full", "2>&-"):
                for args, code in (("-l x", 1), (busy, 1), ("-x", 1), ("--metrics-prefix=a-b", 1),
                                   ("-v >&-", 1), ("--dump >/dev/null", 0)):
                    self.assertEqual(status(f"{args} {redirect}")[0], code, (args, redirect))
                with socket.create_server(("127.0.0.1", 0)) as probe:
                    free = "-l 127.0.0.1:%d" % probe.getsockname()[1]
                self.assertEqual(status(f"{free} {redirect}", True)[0], 0, redirect)


if __name__ == "__main__":
    unittest.main()
