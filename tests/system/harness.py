# What the system test scripts share: the program under test, a reader of its
# exposition text, the disks of this machine and a network namespace of its own.

import os, re, subprocess, sys, unittest

# CTest runs each script as `python3 SCRIPT BINARY`.
BINARY = os.path.abspath(sys.argv.pop(1))
FAMILY = re.compile(r"# HELP (\S+) [^\n]*\n# TYPE \1 (\w+)\n((?:\1[{ ][^\n]*\n)*)")


def run(*args):
    return subprocess.run([BINARY, *args], capture_output=True, text=True, timeout=60)


# (name, type, sample lines) per family in text order; fails unless the text is
# nothing but HELP/TYPE pairs, each followed by samples of its own family.
def blocks(text):
    matches = list(FAMILY.finditer(text))
    assert "".join(match[0] for match in matches) == text, "not an exposition text:\n" + text
    return [(match[1], match[2], match[3].splitlines()) for match in matches]


# Each family's name with its series: the sample lines without their values.
def series(text):
    return [(name, [s.rsplit(" ", 1)[0] for s in samples]) for name, _, samples in blocks(text)]


# Devices with media that are built on no other device, as lsblk sees them.
def whole_disks():
    listed = subprocess.run(["lsblk", "-dnbo", "KNAME,SIZE,TYPE"], capture_output=True,
                            text=True, check=True).stdout
    return {name for name, size, kind in map(str.split, listed.splitlines())
            if int(size) and kind in ("disk", "loop", "rom")}


# Runs a shell script as `sh -c SCRIPT BINARY ARGS...` in a network namespace
# of its own, without root as root of a user namespace where the system allows
# it; skips the test when the namespace or its veth pairs (exit 77) cannot be
# made. Returns standard output.
def in_namespace(script, *args):
    unshare = ["unshare", "-n"] if os.geteuid() == 0 else ["unshare", "-rn"]
    result = subprocess.run([*unshare, "sh", "-c", script, BINARY, *args], capture_output=True,
                            text=True, timeout=60)
    if result.returncode == 77 or result.stderr.startswith("unshare"):
        raise unittest.SkipTest("cannot create a network namespace with veth pairs (needs CAP_NET_"
                                f"ADMIN or user namespaces, and iproute2): {result.stderr.strip()}")
    assert result.returncode == 0, result.stderr
    return result.stdout
