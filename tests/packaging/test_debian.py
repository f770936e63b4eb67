# The Debian package that CPack makes from this build: its contents, lintian's
# verdict, the packaged program run from the unpacked tree, and the versions
# of later commits and of a tree without git.

import atexit, re, shutil, subprocess, tempfile
from pathlib import Path

from common import BINARY, BUILD, PACKAGING, PREFIX, SOURCE, dumped_families, skip, tool

scratch = Path(tempfile.mkdtemp(dir=BUILD))
atexit.register(shutil.rmtree, scratch)
tool("cpack", "-G", "DEB", "--config", BUILD / "CPackConfig.cmake", "-B", scratch)
package, = scratch.glob("kelmar-host-perfdata_*_amd64.deb")

files = {line.split()[-1].lstrip(".") for line in tool("dpkg-deb", "-c", package).splitlines()
         if not line.startswith("d")}
assert files == {"/usr/bin/kelmar-host-perfdata", "/usr/share/man/man8/kelmar-host-perfdata.8.gz",
                 "/lib/systemd/system/kelmar-host-perfdata.service",
                 "/etc/default/kelmar-host-perfdata",
                 "/usr/share/doc/kelmar-host-perfdata/copyright",
                 "/usr/share/doc/kelmar-host-perfdata/changelog.Debian.gz",
                 "/usr/share/lintian/overrides/kelmar-host-perfdata"}, files
fields = tool("dpkg-deb", "-f", package)
assert "Package: kelmar-host-perfdata\n" in fields and "Homepage" not in fields, fields
assert re.search(r"^Depends: .*libc6.*libstdc\+\+6", fields, re.M), fields
# Every remark of lintian's is either mended or overridden with a reason.
tool("lintian", "--pedantic", "-I", "--fail-on", "error,warning,info,pedantic", package)

root = scratch / "root"
tool("dpkg-deb", "-x", package, root)
control = scratch / "control"
tool("dpkg-deb", "-e", package, control)
assert (control / "conffiles").read_text().split() == ["/etc/default/kelmar-host-perfdata"]
unit = (root / "lib/systemd/system/kelmar-host-perfdata.service").read_text()
assert "ExecStart=/usr/bin/kelmar-host-perfdata " in unit
assert "EnvironmentFile=-/etc/default/kelmar-host-perfdata" in unit

RELEASE = re.search(r"^project\(kelmar-host-perfdata VERSION ([0-9.]+) ",
                    (SOURCE / "CMakeLists.txt").read_text(), re.M)[1]
packaged = root / "usr/bin/kelmar-host-perfdata"
# Built as Debian builds: fortified, stack protector, relro and bind-now.
elf = tool("readelf", "-dsW", "-l", packaged)
for mark in (r"GNU_RELRO", r"BIND_NOW", r"__stack_chk_fail", r"__\w+_chk@", r"NEEDED.*libstdc\+\+"):
    assert re.search(mark, elf), mark
version = tool(packaged, "-v")
assert re.fullmatch(r"[0-9a-f]{8}\n", version) and version == tool(BINARY, "-v")
assert version.strip() in package.name or not (SOURCE / ".git").exists()
dump = tool(packaged, "--dump")
assert dumped_families(dump) == dumped_families(tool(BINARY, "--dump"))
assert dump.endswith(f'{PREFIX}_build_info{{version="{version.strip()}"}} 1\n')


def configured(tree, *args):
    """The package version and revision that CMake fixes for a tree."""
    done = subprocess.run(["cmake", "-S", tree, "-B", tree / "build", "-DKELMAR_BUILD_TESTS=OFF",
                           *args], capture_output=True, text=True, timeout=120)
    found = re.search(r"kelmar-host-perfdata (\S+), revision (\w+)", done.stdout)
    return found.groups() if found and done.returncode == 0 else done.stdout + done.stderr


if not (SOURCE / ".git").exists():  # a release: its version plain, its commit in the archive
    assert package.name == f"kelmar-host-perfdata_{RELEASE}-1_amd64.deb", package.name
    skip("no git: the versions of later commits and this commit's release archive need it")

# Every later commit compares higher, also than the versions of old.
version = re.fullmatch(r"kelmar-host-perfdata_(.+)_amd64\.deb", package.name)[1]
later = scratch / "later"
git = ["git", "-C", later, "-c", "user.name=t", "-c", "user.email=t@t.invalid"]
tool("git", "clone", "-q", "--shared", "--no-checkout", SOURCE, later)
head = tool("git", "-C", SOURCE, "rev-parse", "HEAD").strip()
tool(*git, "checkout", "-q", head)
assert configured(later)[0] + "-1" == version
tool(*git, "commit", "-q", "--allow-empty", "-m", "later")
assert re.fullmatch(re.escape(RELEASE) + r"\+git\d{8}\.\d+\.[0-9a-f]{8}-1", version), version
for older in (version, "0.0~gitffffffff"):
    tool("dpkg", "--compare-versions", configured(later)[0] + "-1", "gt", older)

# The release archive of a commit builds as that commit without git, twice
# the same bytes; a tree with neither is given its commit. A tree unpacked from
# an archive and committed keeps the commit git wrote in, so scripts/release
# refuses its commits.
if (SOURCE / "cmake/release-commit").read_text() != "$Format:%H %ct$\n":
    skip("cmake/release-commit is filled in (this tree came from a release archive): "
         "scripts/release makes no archive of its commits")
for attempt in ("one", "two"):
    tool(SOURCE / "scripts/release", head, scratch / attempt, cwd=SOURCE)
one, two = (next((scratch / a).glob("*.tar.gz")).read_bytes() for a in ("one", "two"))
assert one == two
unpacked = scratch / "unpacked"
unpacked.mkdir()
tool("tar", "-xzf", next((scratch / "one").glob("*.tar.gz")), "-C", unpacked)
tarball, = unpacked.iterdir()
assert configured(tarball) == (RELEASE, head[:8]), configured(tarball)
# Its plain build, a user's or packager's, takes no warning as an error.
flags = (tarball / "build/CMakeFiles/kelmar_core.dir/flags.make").read_text()
assert not re.search(r"-Werror(\s|$)", flags), flags
(tarball / "cmake/release-commit").write_text("$Format:%H %ct$\n")
shutil.rmtree(tarball / "build")
assert "-DKELMAR_REVISION=<hex>" in configured(tarball)
assert configured(tarball, "-DKELMAR_REVISION=" + head) == (RELEASE, head[:8])
print(package.name)
