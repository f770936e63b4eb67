# The manual page, what `cmake --install` installs (the systemd unit as
# systemd-analyze judges it), and the FreeBSD port's files. The unit and the
# rc.d script run for real in the Debian and FreeBSD machine tests.

import os, re, subprocess, tempfile
from pathlib import Path

from common import BUILD, PACKAGING, SOURCE, skip, tool

PAGE = PACKAGING / "man/kelmar-host-perfdata.8"
PORT = PACKAGING / "freebsd/sysutils/kelmar-host-perfdata"
RC_SCRIPT = PORT / "files/kelmar_host_perfdata.in"

tool("mandoc", "-Tlint", "-Wwarning", PAGE)
page = PAGE.read_text()
for option in ("listen", "metrics-prefix", "dump", "top-like", "version", "help"):
    assert f"Fl \\-{option}" in page, option

with tempfile.TemporaryDirectory(dir=BUILD) as staging:
    prefix = Path(staging)
    tool("cmake", "--install", BUILD, "--prefix", prefix)
    installed = {str(p.relative_to(prefix)) for p in prefix.rglob("*") if p.is_file()}
    assert {"bin/kelmar-host-perfdata", "share/man/man8/kelmar-host-perfdata.8",
            "lib/systemd/system/kelmar-host-perfdata.service",
            "etc/default/kelmar-host-perfdata"} <= installed, installed
    unit_path = prefix / "lib/systemd/system/kelmar-host-perfdata.service"
    unit = unit_path.read_text()
    assert f"ExecStart={prefix}/bin/kelmar-host-perfdata " in unit
    assert f"EnvironmentFile=-{prefix}/etc/default/kelmar-host-perfdata" in unit
    # verify runs the unit's binary and manual page checks; the page is found
    # through MANPATH, as the installed one would be.
    verified = subprocess.run(["systemd-analyze", "verify", unit_path], capture_output=True,
                              text=True, env={**os.environ, "MANPATH": str(prefix / "share/man")})
    assert verified.returncode == 0 and not verified.stdout + verified.stderr, verified
    report = tool("systemd-analyze", "security", "--offline=yes", unit_path)
    assert float(re.search(r"Overall exposure level for \S+: (\d+\.\d+)", report)[1]) <= 2.0, report
    # What the port's packing list names, as installed on FreeBSD (the rc.d
    # script is added by USE_RC_SUBR, manual pages are compressed by the
    # ports framework).
    plist = set((PORT / "pkg-plist").read_text().split())
    for_freebsd = {f + (".gz" if "/man/" in f else "") for f in installed
                   if "bin/" in f or "/man/" in f}
    assert plist == for_freebsd, (plist, for_freebsd)

tool("sh", "-n", RC_SCRIPT)
tool("shellcheck", "-s", "sh", RC_SCRIPT)
makefile = (PORT / "Makefile").read_text()
for line in ("USES=\t\tcmake compiler:c++20-lang", "USE_RC_SUBR=\tkelmar_host_perfdata",
             "LICENSE=\tBSD2CLAUSE", ":devel/libfmt", "CATEGORIES=\tsysutils",
             ".include <bsd.port.mk>"):
    assert line in makefile, line
assert (PORT / "pkg-descr").read_text().strip()
# The port builds the program alone, warnings not errors, with options this
# tree has (CMake names any given that it does not use).
off = re.search(r"^CMAKE_OFF=\t(.+)$", makefile, re.M)[1].split()
assert {"KELMAR_BUILD_TESTS", "KELMAR_WERROR"} <= set(off), off
with tempfile.TemporaryDirectory(dir=BUILD) as port_build:
    done = subprocess.run(["cmake", "-S", SOURCE, "-B", port_build,
                           *(f"-D{option}:BOOL=OFF" for option in off)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0 and "not used by the project" not in done.stderr, done.stderr

# The port's distinfo is that of the release archive of the commit made at its
# TIMESTAMP, and names the archive of the port's version. Without git, or in a
# history that begins after that time, there is no such commit to make it from.
distinfo = (PORT / "distinfo").read_text()
version = re.search(r"^DISTVERSION=\t(\S+)$", makefile, re.M)[1]
assert f"SHA256 (kelmar-host-perfdata-{version}.tar.gz) = " in distinfo, distinfo
stamp = int(re.search(r"^TIMESTAMP = (\d+)$", distinfo, re.M)[1])
if not (SOURCE / ".git").exists():
    skip(f"no git: the release archive made at the distinfo's TIMESTAMP {stamp} cannot be "
         "made again")
log = tool("git", "-C", SOURCE, "log", "--format=%H %ct").split()
times = [int(time) for time in log[1::2]]
releases = [commit for commit, time in zip(log[::2], times) if time == stamp]
if not releases and min(times) > stamp:
    skip(f"the history begins after the distinfo's TIMESTAMP {stamp} (a shallow clone, a new "
         "repository), so it lacks the release commit to make the archive again from")
with tempfile.TemporaryDirectory(dir=BUILD) as out:
    made = [tool(SOURCE / "scripts/release", commit, out) for commit in releases]
assert distinfo in made, (distinfo, made)
