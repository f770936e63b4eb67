# The Debian package that CPack makes from this build: its contents, lintian's
# verdict, and the packaged program run from the unpacked tree.

import atexit, re, shutil, tempfile
from pathlib import Path

from common import BINARY, BUILD, PREFIX, dumped_families, tool

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
                 "/usr/share/doc/kelmar-host-perfdata/changelog.gz"}, files
assert tool("dpkg-deb", "-f", package, "Package") == "kelmar-host-perfdata\n"
assert "libc6" in tool("dpkg-deb", "-f", package, "Depends")
tool("lintian", "--fail-on", "error,warning", package)

root = scratch / "root"
tool("dpkg-deb", "-x", package, root)
control = scratch / "control"
tool("dpkg-deb", "-e", package, control)
assert (control / "conffiles").read_text().split() == ["/etc/default/kelmar-host-perfdata"]
unit = (root / "lib/systemd/system/kelmar-host-perfdata.service").read_text()
assert "ExecStart=/usr/bin/kelmar-host-perfdata " in unit
assert "EnvironmentFile=-/etc/default/kelmar-host-perfdata" in unit

packaged = root / "usr/bin/kelmar-host-perfdata"
version = tool(packaged, "-v")
assert re.fullmatch(r"[0-9a-f]{8}\n", version) and version == tool(BINARY, "-v")
assert version.strip() in package.name
dump = tool(packaged, "--dump")
assert dumped_families(dump) == dumped_families(tool(BINARY, "--dump"))
assert dump.endswith(f'{PREFIX}_build_info{{version="{version.strip()}"}} 1\n')
print(package.name)
