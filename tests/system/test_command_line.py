import subprocess
import sys
import unittest

BINARY = None


class CommandLine(unittest.TestCase):
    def test_version_is_eight_hex_digits(self):
        result = subprocess.run([BINARY, "-v"], capture_output=True, text=True)
        self.assertEqual(result.returncode, 0)
        self.assertRegex(result.stdout, r"^[0-9a-f]{8}\n$")


if __name__ == "__main__":
    BINARY = sys.argv.pop(1)
    unittest.main()
