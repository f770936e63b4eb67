# The systemd unit: systemd-analyze's verdicts, and the readings taken under
# the same restrictions as far as they can be had without systemd: bwrap for
# the user, mount, pid, IPC and UTS namespaces, a read-only root, private /tmp
# and /dev and no capabilities; seccomp filters built from systemd's own
# system-call sets for SystemCallFilter, RestrictAddressFamilies and
# MemoryDenyWriteExecute.

import errno, os, re, shlex, signal, socket, subprocess, sys, tempfile, time, urllib.request
from pathlib import Path

import seccomp

from common import BINARY, BUILD, PREFIX, dumped_families, free_port, tool

UNIT = "kelmar-host-perfdata.service"
# A chroot, many containers: no user namespaces, so no sandbox to run in.
probe = subprocess.run(["bwrap", "--unshare-user", "--ro-bind", "/", "/", "true"],
                       capture_output=True, text=True)
if probe.returncode != 0:
    print(f"skipped: bwrap cannot make its namespaces here: {probe.stderr.strip()}")
    sys.exit(77)
scratch = tempfile.TemporaryDirectory(dir=BUILD)
prefix = Path(scratch.name, "prefix")
tool("cmake", "--install", BUILD, "--prefix", prefix)
unit_path = prefix / "lib/systemd/system" / UNIT
installed = prefix / "bin/kelmar-host-perfdata"
settings = {}
for line in unit_path.read_text().splitlines():
    if "=" in line and not line.startswith("#"):
        key, value = line.split("=", 1)
        settings.setdefault(key, []).append(value)

# verify runs the unit's binary and man page checks; the page is found
# through MANPATH, as the installed one would be.
verified = subprocess.run(["systemd-analyze", "verify", unit_path], capture_output=True,
                          text=True, env={**os.environ, "MANPATH": str(prefix / "share/man")})
assert verified.returncode == 0 and not verified.stdout + verified.stderr, verified
report = tool("systemd-analyze", "security", "--offline=yes", unit_path)
exposure = float(re.search(r"Overall exposure level for \S+: (\d+\.\d+)", report)[1])
assert exposure <= 2.0, report


def expand(group):
    names = set()
    for line in tool("systemd-analyze", "syscall-filter", group).splitlines()[1:]:
        name = line.strip()
        if name.startswith("@"):
            names |= expand(name)
        elif name and not name.startswith("#"):
            names.add(name)
    return names


# SystemCallFilter= lines: an allow list, then sets taken away from it.
allowed = set()
for value in settings["SystemCallFilter"]:
    deny = value.startswith("~")
    names = set().union(*(expand(n) if n.startswith("@") else {n} for n in value.lstrip("~").split()))
    allowed = allowed - names if deny else allowed | names
families = [getattr(socket, f) for f in settings["RestrictAddressFamilies"][0].split()]
assert settings["SystemCallErrorNumber"] == ["EPERM"]


def exported(name, built):
    path = Path(scratch.name, name)
    with open(path, "wb") as out:
        built.export_bpf(out)
    return path


def filter_file(name, address_families):
    calls = seccomp.SyscallFilter(defaction=seccomp.ERRNO(errno.EPERM))
    for call in sorted(allowed - {"socket"}):
        try:
            calls.add_rule(seccomp.ALLOW, call)
        except (RuntimeError, ValueError):  # not a system call of this architecture
            pass
    for family in address_families:
        calls.add_rule(seccomp.ALLOW, "socket", seccomp.Arg(0, seccomp.EQ, family))
    return exported(name, calls)


# MemoryDenyWriteExecute: no mapping both writable and executable, and no
# mapping made executable later.
wx = 0x2 | 0x4  # PROT_WRITE | PROT_EXEC
memory = seccomp.SyscallFilter(defaction=seccomp.ALLOW)
memory.add_rule(seccomp.ERRNO(errno.EPERM), "mmap", seccomp.Arg(2, seccomp.MASKED_EQ, wx, wx))
memory.add_rule(seccomp.ERRNO(errno.EPERM), "mprotect", seccomp.Arg(2, seccomp.MASKED_EQ, 0x4, 0x4))
memory_filter = exported("memory.bpf", memory)


def sandboxed(argv, calls, environment=(), **popen):
    """argv under the unit's restrictions; the filters come in on fds 10 and 11."""
    filters = [os.open(calls, os.O_RDONLY), os.open(memory_filter, os.O_RDONLY)]
    for wanted, fd in zip((10, 11), filters):
        os.dup2(fd, wanted)
        os.close(fd)
    command = ["bwrap", "--unshare-user", "--uid", "61234", "--gid", "61234",
               "--unshare-pid", "--unshare-ipc", "--unshare-uts", "--unshare-cgroup-try",
               "--ro-bind", "/", "/", "--proc", "/proc", "--dev", "/dev",
               "--tmpfs", "/tmp", "--tmpfs", "/var/tmp", "--tmpfs", "/home", "--tmpfs", "/root",
               "--ro-bind", scratch.name, scratch.name,  # the installed tree, wherever it is
               "--cap-drop", "ALL", "--new-session", "--die-with-parent", "--clearenv",
               *[a for pair in environment for a in ("--setenv", *pair)],
               "--add-seccomp-fd", "10", "--add-seccomp-fd", "11", "--", *argv]
    try:
        return subprocess.Popen(command, pass_fds=(10, 11), text=True, **popen)
    finally:
        os.close(10)
        os.close(11)


def sandboxed_dump(calls):
    run = sandboxed([str(installed), "--dump"], calls, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = run.communicate(timeout=60)
    assert run.returncode == 0 and not err, (run.returncode, err)
    return out


# Everything this host offers outside is read inside as well.
outside = dumped_families(tool(BINARY, "--dump"))
unit_filter = filter_file("unit.bpf", families)
assert dumped_families(sandboxed_dump(unit_filter)) == outside
for family in ("cpu_seconds_total", "memory_used_bytes", "load1", "disk_read_bytes_total",
               "network_receive_bytes_total"):
    assert f"{PREFIX}_{family}" in outside, family
# Without rtnetlink the interface families are gone: the filter bites, and
# AF_NETLINK is needed.
no_netlink = dumped_families(sandboxed_dump(filter_file("inet.bpf", families[:2])))
assert no_netlink == {f for f in outside if "_network_" not in f}, no_netlink

# The unit's own command line, serving once it said it was ready (to an
# abstract socket name, as systemd may give), and stopping as systemd stops it.
assert settings["Type"] == ["notify"]
port = free_port()
exec_start = settings["ExecStart"][0].replace("${LISTEN}", f"127.0.0.1:{port}")
argv = [a for a in shlex.split(exec_start) if a != "$ARGS"]
notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
notify.bind(f"\0kelmar-notify-{os.getpid()}")
notify.settimeout(30)
server = sandboxed(argv, unit_filter, [("NOTIFY_SOCKET", f"@kelmar-notify-{os.getpid()}")],
                   stderr=subprocess.PIPE)
assert notify.recv(64) == b"READY=1"
socket.create_connection(("127.0.0.1", port), timeout=5).close()
banner = server.stderr.readline()
assert "listening on" in banner, banner + server.stderr.read()
with urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=10) as response:
    assert response.status == 200 and dumped_families(response.read().decode()) == outside


def command_line(process):
    try:
        return process.joinpath("cmdline").read_bytes().split(b"\0")[:-1]
    except OSError:  # gone meanwhile
        return []


# systemd signals the main process; bwrap would not pass a signal on.
program = [p for p in Path("/proc").glob("[0-9]*") if command_line(p) == [a.encode() for a in argv]]
assert len(program) == 1, program
os.kill(int(program[0].name), signal.SIGTERM)
assert server.wait(10) == 0
print(f"exposure {exposure}; {len(outside)} families read in the sandbox")
