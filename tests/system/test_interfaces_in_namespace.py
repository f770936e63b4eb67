# Interfaces made in a network namespace of its own: the walk over their
# indexes, their traffic, and names with bytes that are not UTF-8 or that are
# terminal control sequences, which the dump must keep parseable and the
# top-like view must show without the sequences.

import re, shutil, subprocess, tempfile, unittest
from pathlib import Path

from harness import in_namespace
from prometheus_client.parser import text_string_to_metric_families

# Device names of every class of byte sequence that is not UTF-8, with the
# label value each must have: one U+FFFD for each byte outside a valid
# sequence. Valid names stay as they are. (The kernel takes 0xa0 for a space.)
R = "\ufffd"
NAMES = {
    b"ok\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80": "ok\u00e9\u20ac\U0001f600",
    b"max\xf4\x8f\xbf\xbf": "max\U0010ffff",
    b"c\x80\xbfc": f"c{R}{R}c",  # lone continuation bytes
    b"o2\xc0\xaf\xc1\xbf": "o2" + R * 4,  # overlong, 2 bytes
    b"o3\xe0\x80\xaf\xe0\x9f\xbf": "o3" + R * 6,  # overlong, 3 bytes
    b"o4\xf0\x80\x80\xaf\xf0\x8f\xbf\xbf": "o4" + R * 8,  # overlong, 4 bytes
    b"s\xed\xb0\x80\xed\xbf\xbf": "s" + R * 6,  # surrogates
    b"h\xf4\x90\x80\x80\xf5\x80\x80\x80": "h" + R * 8,  # above U+10FFFF
    b"t\xf8\x88\x80\x80\x80": "t" + R * 5,  # the old 5-byte form
    b"e\xe2\x82": "e" + R * 2, b"f\xf0\x9f\x98": "f" + R * 3,  # cut off at the end
    b"m\xe2\x82z\xf0\x9f\x98z": f"m{R}{R}z{R}{R}{R}z",  # cut off mid-name
    b"u\xff\xfez": f"u{R}{R}z",  # bytes UTF-8 never has
    b'q"\\\x1b[31mR': 'q"\\\x1b[31mR',  # escaped, and a terminal sequence
}
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
dump=$1 view=$2 served=$3; shift 3
while [ $# -gt 0 ]; do ip link add "$1" type veth peer name "$2"; shift 2; done
"$0" --dump > "$dump"
# The view wins over --dump, and stops at SIGTERM with status 0.
timeout --preserve-status -s TERM 2.5 "$0" --dump --metrics-prefix=1 -t > "$view"
ip link set lo up
"$0" 2> "$served" & server=$!
until [ -s "$served" ]; do sleep 0.05; done
/usr/bin/python3 -c 'import urllib.request as u; print(u.urlopen("http://127.0.0.1:9272/metrics",
timeout=5).status)' >> "$served"
kill $server; wait $server
"""


def counters(dump):
    """{(family, device): value} of the interface families, in text order."""
    found = re.findall(r'^kelmar_host_network_(\w+)\{device="(\w+)"\} (\d+)$', dump, re.M)
    return {(family, device): int(value) for family, device, value in found}


class InterfacesInANamespace(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with tempfile.TemporaryDirectory() as directory:
            files = [f"{directory}/{name}" for name in ("dump", "view", "served")]
            links, before, after = in_namespace(SCRIPT, *files, *NAMES).split("==\n")
            dump, cls.view, served = (Path(name).read_bytes() for name in files)
            cls.odd_dump, cls.served = dump.decode(), served.decode()
        cls.links = re.findall(r"^(\d+): ([^:@]+)", links, re.M)
        cls.before, cls.after = counters(before), counters(after)

    def test_walk_skips_the_indexes_of_deleted_interfaces(self):
        self.assertGreater(int(self.links[-1][0]), len(self.links), "no gap in the indexes")
        listed = [device for family, device in self.before if family == "receive_bytes_total"]
        self.assertEqual(listed, [name for _, name in self.links])

    def test_traffic_over_a_veth_pair_is_counted(self):
        for direction, device in (("transmit", "ka"), ("receive", "kb0123456789abc")):
            for unit, grown in (("packets", 5), ("bytes", 500)):
                key = (f"{direction}_{unit}_total", device)
                self.assertEqual(self.after[key] - self.before[key], grown, key)

    def test_odd_names_in_dump_and_view(self):
        families = text_string_to_metric_families(self.odd_dump)
        devices = {sample.labels["device"] for family in families
                   if family.name.startswith("kelmar_host_network_") for sample in family.samples}
        self.assertEqual(devices, {"lo", "ka", "kb0123456789abc", *NAMES.values()})
        if shutil.which("promtool"):
            check = subprocess.run(["promtool", "check", "metrics"], input=self.odd_dump.encode(),
                                   capture_output=True, timeout=60)
            self.assertNotIn(b"error", check.stdout + check.stderr)
        # Every byte outside printable ASCII is a '?' on the screen.
        for name in NAMES:
            self.assertIn(b"\n" + bytes(c if 32 <= c < 127 else 63 for c in name) + b" ", self.view)
        self.assertNotIn(b"\x1b[31m", self.view)

    def test_with_no_options_it_serves_on_the_loopback_port_9272(self):
        self.assertEqual(self.served, "kelmar-host-perfdata listening on 127.0.0.1:9272 "
                         "(metrics prefix 'kelmar_host')\n200\n")


if __name__ == "__main__":
    unittest.main()
