# What the packaging checks share: the paths CTest hands over, running a
# tool, skipping, and the metric families the renderer writes.

import os, re, socket, subprocess, sys
from pathlib import Path

# CTest runs each script as `python3 SCRIPT BINARY SOURCE_DIR BUILD_DIR`.
BINARY, SOURCE, BUILD = (Path(os.path.abspath(arg)) for arg in sys.argv[1:4])
PACKAGING = SOURCE / "packaging"
PREFIX = "kelmar_host"


def tool(*args, cwd=None, env=None, input=None):
    """Runs a checker; its output is shown when it finds something."""
    result = subprocess.run([str(a) for a in args], capture_output=True, text=True, cwd=cwd,
                            env=env, input=input, timeout=300)
    assert result.returncode == 0, f"{' '.join(map(str, args))} failed ({result.returncode}):\n" \
        f"{result.stdout}{result.stderr}"
    return result.stdout


# Every family name the renderer can write, ZFS included on hosts without it.
def rendered_families():
    source = (SOURCE / "src/exposition/exposition.cpp").read_text()
    return {PREFIX + suffix for suffix in re.findall(r"# TYPE \{0\}(_\w+)", source)}


def dumped_families(text):
    return set(re.findall(r"^# TYPE (\S+) ", text, re.M))


def skip(reason):
    """Ends the check as skipped (CTest's SKIP_RETURN_CODE), saying why."""
    print(f"skipped: {reason}")
    sys.exit(77)


def free_port():
    with socket.create_server(("127.0.0.1", 0)) as probe:
        return probe.getsockname()[1]
