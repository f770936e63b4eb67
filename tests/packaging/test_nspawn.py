# The Debian package under a real systemd: a cached Debian 12 root booted with
# systemd-nspawn (in a network namespace of its own, changes kept in memory),
# the package installed with dpkg and used as an administrator would.
# Skipped (77) without root, nspawn or the root, which scripts/debian-root
# builds.

import contextlib, os, re, shutil, signal, subprocess, sys, tempfile, time
from pathlib import Path

from common import BUILD, SOURCE, dumped_families, skip, tool

UNIT = "kelmar-host-perfdata"
ROOT = Path(os.environ.get("KELMAR_DEBIAN_ROOT", "/var/cache/kelmar-debian-root"))


if os.geteuid() != 0:
    skip("systemd-nspawn needs root")
if not shutil.which("systemd-nspawn"):
    skip("systemd-nspawn is missing (apt install systemd-container)")
if not (ROOT / "lib/systemd/systemd").exists():
    skip(f"no Debian root in {ROOT}: build it once with {SOURCE}/scripts/debian-root (a few minutes)")

# A timeout's SIGTERM still powers the container off (the finally below).
signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
scratch = Path(tempfile.mkdtemp(dir=BUILD))
tool("cpack", "-G", "DEB", "--config", BUILD / "CPackConfig.cmake", "-B", scratch)
package, = scratch.glob(f"{UNIT}_*_amd64.deb")
console = open(scratch / "console", "w+")
# --keep-unit and --register=no: the host's PID 1 may not be systemd.
container = subprocess.Popen(
    ["systemd-nspawn", "-q", "-D", ROOT, "--volatile=overlay", "--private-network", "--keep-unit",
     "--register=no", f"--bind-ro={scratch}:/mnt/package", "-b"],
    stdin=subprocess.DEVNULL, stdout=console, stderr=subprocess.STDOUT)


def run(script, timeout=60):
    """A shell script inside the container: (status, output)."""
    done = subprocess.run(["nsenter", "-t", str(leader), "-a", "bash", "-c", script],
                          capture_output=True, text=True, timeout=timeout)
    return done.returncode, done.stdout + done.stderr


def ok(script):
    status, output = run(script)
    assert status == 0, f"{script}: {status}\n{output}"
    return output


def scrape(port=9272):
    """Connects once, with no retry: the answer, empty unless it serves now."""
    answer = run(f"exec 3<>/dev/tcp/127.0.0.1/{port} && printf 'GET /metrics HTTP/1.0\\r\\n\\r\\n' "
                 ">&3 && cat <&3")[1]
    return answer if answer.startswith("HTTP/1.1 200 OK") else ""


def state():
    return run(f"systemctl is-enabled {UNIT}; systemctl is-active {UNIT}")[1].split()


def settings(text):
    ok(f"printf '%s\\n' '{text}' >/etc/default/{UNIT} && systemctl reset-failed {UNIT}")


try:
    # The container's PID 1 is nspawn's child once that has become systemd.
    deadline, leader, booted = time.monotonic() + 60, None, ""
    while time.monotonic() < deadline and container.poll() is None:
        with open(f"/proc/{container.pid}/task/{container.pid}/children") as children:
            for pid in children.read().split():
                with contextlib.suppress(OSError):
                    if Path(f"/proc/{pid}/comm").read_text() == "systemd\n":
                        leader = pid
        if leader and Path(f"/proc/{leader}/root/run/systemd/private").exists():
            booted = run("systemctl is-system-running --wait", timeout=90)[1].strip()
            break
        time.sleep(0.1)
    if not booted:
        console.seek(0)
        skip(f"systemd-nspawn could not boot the root: {console.read()[-2000:]}")
    assert booted in ("running", "degraded"), booted + run("systemctl --failed")[1]

    # Installed: enabled, and serving as soon as the start returned; the
    # unit's sandbox (system-call filter, address families, private users)
    # keeps no reading from it.
    ok("dpkg -i /mnt/package/*.deb")
    assert state() == ["enabled", "active"]
    served, direct = dumped_families(scrape()), dumped_families(ok(f"{UNIT} --dump"))
    assert served == direct and "kelmar_host_network_receive_bytes_total" in served, served
    for _ in range(3):
        ok(f"systemctl restart {UNIT}")
        assert scrape(), "refused right after systemctl restart"

    # Removed and installed again: enabled and serving; a disabled unit stays
    # disabled.
    for enable in ("enable", "disable"):
        # (reset-failed: more than five starts a minute are refused)
        ok(f"systemctl reset-failed {UNIT}; systemctl {enable} --now {UNIT} && dpkg -r {UNIT} && "
           "dpkg -i /mnt/package/*.deb")
        assert state() == (["enabled", "active"] if enable == "enable" else
                           ["disabled", "inactive"]), (enable, state())
    ok(f"systemctl enable --now {UNIT}")
    assert scrape()

    # A port below 1024 fails to start, says why, and serves with the drop-in
    # that the settings file gives.
    drop_in = re.search(r"^# (/etc/systemd/system/\S+\.conf):\n((?:#   .*\n)+)",
                        ok(f"cat /etc/default/{UNIT}"), re.M)
    settings("LISTEN=127.0.0.1:80")
    assert run(f"systemctl restart {UNIT}")[0] != 0
    assert "cannot bind to 127.0.0.1:80: Permission denied" in ok(f"journalctl -u {UNIT} -n 20")
    text = drop_in[2].replace("#   ", "")
    ok(f"mkdir -p $(dirname {drop_in[1]}) && printf '%s' '{text}' >{drop_in[1]} && "
       f"systemctl daemon-reload && systemctl restart {UNIT}")
    assert scrape(80)
    ok(f"rm {drop_in[1]} && systemctl daemon-reload")

    # A configuration that cannot work: start reports failure, and the unit
    # is failed within a minute instead of restarting for ever.
    settings("LISTEN=nonsense")
    started = time.monotonic()
    status, output = run(f"systemctl restart {UNIT}")
    assert status != 0, output
    while run(f"systemctl is-failed {UNIT}")[1].strip() != "failed":
        assert time.monotonic() - started < 60, run(f"systemctl status {UNIT}")[1]
        time.sleep(1)
    failed_after = time.monotonic() - started
    tries = ok(f"journalctl -u {UNIT} -o cat").count("invalid listen address 'nonsense'")
    assert tries == 5, tries

    # A crash of a running service is still restarted.
    settings("")
    ok(f"systemctl restart {UNIT}")
    main_pid = ok(f"systemctl show -P MainPID {UNIT}").strip()
    ok(f"kill -9 {main_pid}")
    started = time.monotonic()
    while not scrape():
        assert time.monotonic() - started < 15, run(f"systemctl status {UNIT}")[1]
        time.sleep(0.2)

    # Purged: nothing left, not even the mask or the remembered state.
    ok(f"dpkg --purge {UNIT}")
    left = run(f"ls -d /etc/default/{UNIT} /etc/systemd/system/{UNIT}.service "
               f"/etc/systemd/system/*/{UNIT}.service /var/lib/systemd/deb-systemd-*/*{UNIT}* "
               f"/var/lib/systemd/deb-systemd-*/*/*{UNIT}* /usr/bin/{UNIT} 2>/dev/null")[1]
    assert not left and not scrape(), left
    print(f"{package.name}: reinstall, readiness, low port with drop-in, failed after "
          f"{failed_after:.0f} s and {tries} tries, crash restarted, purge: all as expected")
finally:
    container.terminate()  # nspawn powers the container off
    try:
        container.wait(30)
    except subprocess.TimeoutExpired:
        container.kill()
        container.wait()
    console.close()
    shutil.rmtree(scratch)
