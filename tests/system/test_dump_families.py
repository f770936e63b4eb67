import os
import shutil
import subprocess
import sys
import unittest

BINARY = None
PREFIX = "kelmar_host"

# Every family the exposition can hold, in the order it writes them, grouped by
# the reading that gates them.
GROUPS = [
    ("cpu", ["_cpu_seconds_total"]),
    ("memory", ["_memory_total_bytes", "_memory_used_bytes"]),
    ("swap", ["_swap_total_bytes", "_swap_used_bytes"]),
    ("load", ["_load1", "_load5", "_load15"]),
    ("arc", ["_zfs_arc_size_bytes", "_zfs_arc_c_max_bytes"]),
    ("disks", ["_disk_read_bytes_total", "_disk_write_bytes_total", "_disk_read_ops_total",
               "_disk_write_ops_total", "_disk_busy_seconds_total"]),
    ("interfaces", ["_network_receive_bytes_total", "_network_transmit_bytes_total",
                    "_network_receive_packets_total", "_network_transmit_packets_total",
                    "_network_receive_errors_total", "_network_transmit_errors_total",
                    "_network_receive_drops_total"]),
    ("build", ["_build_info"]),
]
ALL_FAMILIES = [PREFIX + suffix for _, suffixes in GROUPS for suffix in suffixes]
INTERFACE_FAMILIES = [PREFIX + suffix for suffix in dict(GROUPS)["interfaces"]]


def dump(command_prefix=()):
    result = subprocess.run([*command_prefix, BINARY, "--dump"], capture_output=True,
                            timeout=60)
    return result.returncode, result.stdout.decode("utf-8", "surrogateescape")


def blocks_of(text):
    """The families in text order, each with its TYPE and sample lines;
    fails on anything that is not a HELP/TYPE pair followed by samples."""
    blocks = []
    lines = text.split("\n")
    assert lines[-1] == "", "text does not end with a newline"
    lines = lines[:-1]
    at = 0
    while at < len(lines):
        help_line = lines[at].split(" ", 3)
        assert help_line[:2] == ["#", "HELP"], f"line {at + 1}: {lines[at]!r}"
        name = help_line[2]
        type_line = lines[at + 1].split(" ")
        assert type_line[:3] == ["#", "TYPE", name], f"line {at + 2}: {lines[at + 1]!r}"
        at += 2
        samples = []
        while at < len(lines) and not lines[at].startswith("#"):
            assert lines[at].startswith(name + "{") or lines[at].startswith(name + " "), \
                f"sample of another family under {name}: {lines[at]!r}"
            samples.append(lines[at])
            at += 1
        blocks.append((name, type_line[3], samples))
    return blocks


def device_of(sample):
    return sample.split('device="', 1)[1].split('"', 1)[0]


def proc_net_dev_names():
    with open("/proc/net/dev") as table:
        return {line.split(":", 1)[0].strip() for line in table.readlines()[2:]}


class DumpFamilies(unittest.TestCase):
    def setUp(self):
        self.names_before = proc_net_dev_names()
        status, self.text = dump()
        self.names_after = proc_net_dev_names()
        self.assertEqual(status, 0)
        self.blocks = blocks_of(self.text)

    def test_families_present_are_whole_groups_in_order(self):
        names = [name for name, _, _ in self.blocks]
        self.assertEqual(names, [name for name in ALL_FAMILIES if name in names])
        for group, suffixes in GROUPS:
            present = [PREFIX + suffix in names for suffix in suffixes]
            self.assertIn(present, ([True] * len(suffixes), [False] * len(suffixes)), group)
        required = ["cpu", "memory", "swap", "load", "interfaces", "build"]
        if os.path.exists("/proc/spl/kstat/zfs/arcstats"):
            required.append("arc")
        for group in required:
            self.assertIn(PREFIX + dict(GROUPS)[group][0], names, f"{group} families missing")

    def test_every_interface_once_per_family_in_the_same_order(self):
        interface_blocks = [block for block in self.blocks if block[0] in INTERFACE_FAMILIES]
        self.assertEqual(len(interface_blocks), 7)
        devices = [device_of(sample) for sample in interface_blocks[0][2]]
        for name, kind, samples in interface_blocks:
            self.assertEqual(kind, "counter", name)
            self.assertEqual([device_of(sample) for sample in samples], devices, name)
        self.assertEqual(len(devices), len(set(devices)))
        self.assertLessEqual(self.names_before & self.names_after, set(devices))
        self.assertLessEqual(set(devices), self.names_before | self.names_after)
        self.assertIn("lo", devices)

    def test_prometheus_parsers_accept_the_text(self):
        checked = False
        promtool = shutil.which("promtool")
        if promtool:
            result = subprocess.run([promtool, "check", "metrics"], input=self.text.encode(),
                                    capture_output=True, timeout=60)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            checked = True
        try:
            from prometheus_client.parser import text_string_to_metric_families
        except ImportError:
            text_string_to_metric_families = None
        if text_string_to_metric_families:
            parsed = list(text_string_to_metric_families(self.text))
            # The parser drops "_total" from counter names.
            expected = [name.removesuffix("_total") for name, _, _ in self.blocks]
            self.assertEqual([family.name for family in parsed], expected)
            for family, (_, _, samples) in zip(parsed, self.blocks):
                self.assertEqual(len(family.samples), len(samples), family.name)
            checked = True
        if not checked:
            self.fail("neither promtool nor prometheus_client is installed (scripts/setup)")


class DumpInEmptyNetworkNamespace(unittest.TestCase):
    def test_loopback_alone_with_zero_counters(self):
        unshare = shutil.which("unshare")
        if not unshare or subprocess.run([unshare, "-n", "true"],
                                         capture_output=True).returncode != 0:
            self.skipTest("cannot create a network namespace (needs CAP_NET_ADMIN)")
        status, text = dump((unshare, "-n"))
        self.assertEqual(status, 0)
        for name, _, samples in blocks_of(text):
            if name in INTERFACE_FAMILIES:
                self.assertEqual(samples, [f'{name}{{device="lo"}} 0'])


if __name__ == "__main__":
    BINARY = sys.argv.pop(1)
    unittest.main()
