# Interfaces made in a network namespace of its own: the walk over their
# indexes, their traffic, and names with bytes that are not UTF-8 or that are
# terminal control sequences, which the dump must keep parseable and the
# top-like view must show without the sequences.

import re, shutil, subprocess, tempfile, unittest

from harness import in_namespace
from prometheus_client.parser import text_string_to_metric_families

NAMES = [b"u\xff\xfez", b'q"\\\x1b[31mR']
# A veth pair created and deleted again to leave a gap in the indexes, a second
# pair (one end with a name of the longest length, 15 characters) brought up,
# the links, a dump, five 100-byte raw frames sent from ka to it, and a second
# dump; then a pair with the odd names, a dump and the view into files. IPv6 is
# off so that neighbour discovery adds no traffic of its own.
SCRIPT = r"""set -e
{ echo 1 > /proc/sys/net/ipv6/conf/default/disable_ipv6; } 2>/dev/null || true
ip link add ga type veth peer name gb || exit 77
ip link add ka type veth peer name kb0123456789abc
ip link del ga
ip link set ka up && ip link set kb0123456789abc up
until [ "$(ip -o link show up | grep -c 'state UP')" = 2 ]; do sleep 0.02; done
ip -o link show
echo ==; "$0" --dump; echo ==
/usr/bin/python3 -c 'import socket; s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
s.bind(("ka", 0)); [s.send(b"\xff" * 6 + b"\x02" + bytes(5) + b"\x88\xb5" + bytes(86)) for _ in "12345"]'
"$0" --dump
ip link add "$1" type veth peer name "$2"
"$0" --dump > "$3"
timeout -s INT 2.5 "$0" -t > "$4" || true
"""


def counters(dump):
    """{(family, device): value} of the interface families, in text order."""
    found = re.findall(r'^kelmar_host_network_(\w+)\{device="(\w+)"\} (\d+)$', dump, re.M)
    return {(family, device): int(value) for family, device, value in found}


class InterfacesInANamespace(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with tempfile.TemporaryDirectory() as directory:
            dump, view = directory + "/dump", directory + "/view"
            links, before, after = in_namespace(SCRIPT, *NAMES, dump, view).split("==\n")
            cls.odd_dump = open(dump, "rb").read().decode("utf-8")
            cls.view = open(view, "rb").read()
        cls.links = re.findall(r"^(\d+): ([^:@]+)", links, re.M)
        cls.before, cls.after = counters(before), counters(after)

    def test_walk_skips_the_indexes_of_deleted_interfaces(self):
        self.assertGreater(int(self.links[-1][0]), len(self.links), "no gap in the indexes")
        listed = [device for family, device in self.before if family == "receive_bytes_total"]
        self.assertEqual(listed, [name for _, name in self.links])

    def test_traffic_over_a_veth_pair_is_counted(self):
        for family, device, grown in [("transmit_packets_total", "ka", 5),
                                      ("transmit_bytes_total", "ka", 500),
                                      ("receive_packets_total", "kb0123456789abc", 5),
                                      ("receive_bytes_total", "kb0123456789abc", 500)]:
            key = (family, device)
            self.assertEqual(self.after[key] - self.before[key], grown, key)

    def test_odd_names_in_dump_and_view(self):
        families = text_string_to_metric_families(self.odd_dump)
        devices = {sample.labels["device"] for family in families
                   if family.name.startswith("kelmar_host_network_") for sample in family.samples}
        self.assertEqual(devices, {"lo", "ka", "kb0123456789abc", "u\ufffd\ufffdz", 'q"\\\x1b[31mR'})
        if shutil.which("promtool"):
            check = subprocess.run(["promtool", "check", "metrics"], input=self.odd_dump.encode(),
                                   capture_output=True)
            self.assertNotIn(b"error", check.stdout + check.stderr)
        self.assertIn(b"\nu??z ", self.view)
        self.assertIn(b'\nq"\\?[31mR ', self.view)
        self.assertNotIn(b"\x1b[31m", self.view)


if __name__ == "__main__":
    unittest.main()
