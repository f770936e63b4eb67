import os
import re
import subprocess
import sys
import unittest

BINARY = None

SAMPLE = re.compile(r'^kelmar_host_disk_(\w+)_total\{device="([^"]*)"\} (\S+)$')


def diskstats():
    """Counters per device name, in the exposition's units."""
    counters = {}
    with open("/proc/diskstats") as stats:
        for line in stats:
            fields = line.split()
            numbers = [int(field) for field in fields[3:]]
            counters[fields[2]] = {
                "read_bytes": numbers[2] * 512,
                "write_bytes": numbers[6] * 512,
                "read_ops": numbers[0],
                "write_ops": numbers[4],
                "busy_seconds": numbers[9] / 1000,
            }
    return counters


def whole_disks():
    """Devices with media that are built on no other device."""
    with open("/proc/partitions") as partitions:
        sized = {line.split()[3] for line in partitions.readlines()[2:] if line.strip()}
    disks = set()
    for name in os.listdir("/sys/block"):
        kernel_name = name.replace("!", "/")
        slaves = os.path.join("/sys/block", name, "slaves")
        if kernel_name in sized and not (os.path.isdir(slaves) and os.listdir(slaves)):
            disks.add(kernel_name)
    return disks


class DiskFamilies(unittest.TestCase):
    def test_dump_shows_this_machines_disks_with_their_counters(self):
        before = diskstats()
        result = subprocess.run([BINARY, "--dump"], capture_output=True, text=True, check=True)
        after = diskstats()

        samples = {}
        for line in result.stdout.splitlines():
            match = SAMPLE.match(line)
            if match:
                family, device, value = match.groups()
                samples.setdefault(device, {})[family] = float(value)
        self.assertIn("# TYPE kelmar_host_disk_busy_seconds_total counter\n", result.stdout)
        self.assertEqual(set(samples), whole_disks())
        for device, families in samples.items():
            self.assertEqual(len(families), 5, device)
            for family, value in families.items():
                # Busy time passes through a binary fraction: allow for rounding.
                slack = 1e-9 if family == "busy_seconds" else 0
                self.assertLessEqual(before[device][family] - slack, value, (device, family))
                self.assertLessEqual(value, after[device][family] + slack, (device, family))


if __name__ == "__main__":
    BINARY = sys.argv.pop(1)
    unittest.main()
