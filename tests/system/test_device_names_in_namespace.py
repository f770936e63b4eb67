# Interface names with bytes that are not UTF-8 or that are terminal control
# sequences, made in a network namespace of its own: the dump stays one that
# parsers accept, and the top-like view shows the names without the sequences.

import shutil, subprocess, tempfile, unittest

from harness import in_namespace
from prometheus_client.parser import text_string_to_metric_families

NAMES = [b"u\xff\xfez", b'q"\\\x1b[31mR']
SCRIPT = r"""set -e
ip link add "$1" type veth peer name "$2" || exit 77
"$0" --dump > "$3"
timeout -s INT 2.5 "$0" -t > "$4" || true
"""


class DeviceNames(unittest.TestCase):
    def test_odd_names_in_dump_and_view(self):
        with tempfile.TemporaryDirectory() as directory:
            dump, view = directory + "/dump", directory + "/view"
            in_namespace(SCRIPT, *NAMES, dump, view, text=False)
            text = open(dump, "rb").read().decode("utf-8")
            shown = open(view, "rb").read()
        devices = {sample.labels["device"] for family in text_string_to_metric_families(text)
                   if family.name.startswith("kelmar_host_network_") for sample in family.samples}
        self.assertEqual(devices, {"lo", "u\ufffd\ufffdz", 'q"\\\x1b[31mR'})
        if shutil.which("promtool"):
            check = subprocess.run(["promtool", "check", "metrics"], input=text.encode(),
                                   capture_output=True)
            self.assertNotIn(b"error", check.stdout + check.stderr)
        self.assertIn(b"\nu??z ", shown)
        self.assertIn(b'\nq"\\?[31mR ', shown)
        self.assertNotIn(b"\x1b[31m", shown)


if __name__ == "__main__":
    unittest.main()
