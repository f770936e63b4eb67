# The manual page, what `cmake --install` installs, and the FreeBSD side: the
# rc.d script run against a stand-in for rc.subr, and the port's files.

import getopt, os, re, shlex, subprocess, tempfile
from pathlib import Path

from common import BINARY, BUILD, PACKAGING, PREFIX, dumped_families, tool

PAGE = PACKAGING / "man/kelmar-host-perfdata.8"
PORT = PACKAGING / "freebsd/sysutils/kelmar-host-perfdata"
RC_SCRIPT = PORT / "files/kelmar_host_perfdata.in"
DAEMON_OPTIONS = "cfHSp:P:ru:o:s:l:t:m:R:T:h"  # daemon(8) of FreeBSD 14

tool("mandoc", "-Tlint", "-Wwarning", PAGE)
page = PAGE.read_text()
for option in ("listen", "metrics-prefix", "dump", "top-like", "version", "help"):
    assert f"Fl \\-{option}" in page, option

with tempfile.TemporaryDirectory() as staging:
    tool("cmake", "--install", BUILD, "--prefix", "/opt/khp", env={**os.environ, "DESTDIR": staging})
    installed = {str(p.relative_to(staging)) for p in Path(staging).rglob("*") if p.is_file()}
    assert {"opt/khp/bin/kelmar-host-perfdata", "opt/khp/share/man/man8/kelmar-host-perfdata.8",
            "opt/khp/lib/systemd/system/kelmar-host-perfdata.service",
            "opt/khp/etc/default/kelmar-host-perfdata"} <= installed, installed
    unit = Path(staging, "opt/khp/lib/systemd/system/kelmar-host-perfdata.service").read_text()
    assert "ExecStart=/opt/khp/bin/kelmar-host-perfdata " in unit
    assert "EnvironmentFile=-/opt/khp/etc/default/kelmar-host-perfdata" in unit
    # What the port's packing list names, as installed on FreeBSD (the rc.d
    # script is added by USE_RC_SUBR, manual pages are compressed by the
    # ports framework).
    plist = set((PORT / "pkg-plist").read_text().split())
    for_freebsd = {re.sub(r"^opt/khp/", "", f) + (".gz" if "/man/" in f else "")
                   for f in installed if "/bin/" in f or "/man/" in f}
    assert plist == for_freebsd, (plist, for_freebsd)

tool("sh", "-n", RC_SCRIPT)
tool("shellcheck", "-s", "sh", RC_SCRIPT)
makefile = (PORT / "Makefile").read_text()
for line in ("USES=\t\tcmake compiler:c++20-lang", "USE_RC_SUBR=\tkelmar_host_perfdata",
             "LICENSE=\tBSD2CLAUSE", ":devel/libfmt", "CATEGORIES=\tsysutils",
             ".include <bsd.port.mk>"):
    assert line in makefile, line
assert (PORT / "pkg-descr").read_text().strip()

# The rc.d script with rc.subr replaced by a stand-in that prints what
# run_rc_command would start, then that command run as daemon(8) would run it.
STAND_IN = """
load_rc_config() { :; }
run_rc_command() {
    printf '%s\\n' "$name" "$rcvar" "$procname" "$pidfile" "$rundir" "$start_precmd" \\
        "$kelmar_host_perfdata_user" "$command $command_args"
}
"""


def started(settings):
    with tempfile.TemporaryDirectory() as scratch:
        Path(scratch, "bin").mkdir()
        Path(scratch, "bin/kelmar-host-perfdata").symlink_to(BINARY)
        Path(scratch, "rc.subr").write_text(STAND_IN)
        script = RC_SCRIPT.read_text().replace("%%PREFIX%%", scratch)
        script = script.replace(". /etc/rc.subr", f". {scratch}/rc.subr")
        printed = subprocess.run(["sh", "-c", script, "rc", "start"], capture_output=True,
                                 text=True, check=True, env={"PATH": "/usr/bin:/bin", **settings})
        name, rcvar, procname, pidfile, rundir, precmd, user, command = \
            printed.stdout.splitlines()
        assert (name, rcvar, precmd) == ("kelmar_host_perfdata", "kelmar_host_perfdata_enable",
                                         "kelmar_host_perfdata_prestart")
        argv = shlex.split(command)
        assert argv[0] == procname == "/usr/sbin/daemon"
        flags, program = getopt.getopt(argv[1:], DAEMON_OPTIONS)
        flags = dict(flags)
        assert flags["-P"] == pidfile and Path(pidfile).parent == Path(rundir)
        assert {"-r", "-S", "-T"} <= flags.keys() and flags["-T"] == name
        assert "-u" not in flags  # rc.subr starts daemon(8) as the user already
        assert Path(program[0]) == Path(scratch, "bin/kelmar-host-perfdata")
        run = subprocess.run(program, capture_output=True, text=True, timeout=60)
        return user, program[1:], run


user, arguments, run = started({"kelmar_host_perfdata_args": "--dump"})
assert user == "nobody"
assert arguments[:2] == ["--listen=127.0.0.1:9272", f"--metrics-prefix={PREFIX}"]
assert run.returncode == 0 and f"{PREFIX}_build_info" in dumped_families(run.stdout)

user, arguments, run = started({"kelmar_host_perfdata_user": "exporter",
                                "kelmar_host_perfdata_listen": "[::1]:9100",
                                "kelmar_host_perfdata_prefix": "site",
                                "kelmar_host_perfdata_args": "--dump"})
assert user == "exporter" and arguments[0] == "--listen=[::1]:9100"
assert run.returncode == 0 and "site_build_info" in dumped_families(run.stdout)
