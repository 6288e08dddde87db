#!/usr/bin/python3
"""The procd and systemd service files and the OpenWrt package start the
agent the way the documents say: respawn without giving up, stop by SIGTERM,
reload by SIGHUP, restart on failure, the limits of the unit, the project's
version in the package. Every shell file passes shellcheck, and the unit
passes `systemd-analyze verify` where systemd is installed.
Usage: check_service_files.py SOURCE_DIR PROJECT_VERSION"""
import configparser
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

root = pathlib.Path(sys.argv[1])
version = sys.argv[2]
openwrt = root / "packaging" / "openwrt"
init = openwrt / "vtclient.init"
text = init.read_text()
failures = [f"init script lacks {needed!r}" for needed in
            ("USE_PROCD=1", "PROG=/usr/sbin/vtclient", "procd_set_param command",
             "procd_set_param reload_signal HUP") if needed not in text]
if not text.startswith("#!/bin/sh /etc/rc.common\n"):
    failures.append("init script does not run under /etc/rc.common")
if not os.access(init, os.X_OK):
    failures.append("init script is not executable")
# procd gives up after <retry> quick crashes in a row unless retry is 0.
respawn = re.search(r"procd_set_param respawn (\d+) (\d+) (\d+)", text)
if not respawn or respawn[3] != "0":
    failures.append("procd respawn must name threshold, delay and a retry limit of 0 (never give up)")

makefile = (openwrt / "Makefile").read_text()
pkg_version = re.search(r"^PKG_VERSION:=(\S+)$", makefile, re.M)
if not pkg_version or pkg_version[1] != version:
    failures.append(f"packaging/openwrt/Makefile PKG_VERSION is not the project version {version}")
for needed in ("PKG_RELEASE:=", "PKG_LICENSE:=", "PKG_MAINTAINER:=", "PKG_SOURCE_PROTO:=git",
               "PKG_SOURCE_VERSION:=", "PKG_MIRROR_HASH:=", "+libopenssl", "+libmbedtls",
               "+ca-bundle", "/etc/vtclient.cfg", "95-vtclient"):
    if needed not in makefile:
        failures.append(f"packaging/openwrt/Makefile lacks {needed!r}")
if "+libpthread" in makefile:
    failures.append("packaging/openwrt/Makefile depends on libpthread, which musl does not have")

unit_path = root / "packaging" / "systemd" / "vtclient.service"
unit = configparser.ConfigParser(strict=True, interpolation=None)
unit.optionxform = str
unit.read(unit_path)
for section, key, value in (("Service", "ExecStart", "/usr/sbin/vtclient"),
                            ("Service", "Restart", "on-failure"), ("Service", "KillSignal", "SIGTERM"),
                            ("Service", "ExecReload", "/bin/kill -HUP $MAINPID"),
                            ("Service", "TasksMax", None), ("Service", "MemoryMax", None),
                            ("Service", "LimitNOFILE", None),
                            ("Install", "WantedBy", "multi-user.target")):
    found = unit.get(section, key, fallback=None)
    if found is None or (value is not None and found != value):
        failures.append(f"vtclient.service [{section}] {key} is not {value or 'set'}")

# verify wants the program to exist: a copy of the unit runs /bin/true.
if shutil.which("systemd-analyze"):
    with tempfile.TemporaryDirectory() as tmp:
        copy = pathlib.Path(tmp) / unit_path.name
        copy.write_text(unit_path.read_text().replace("ExecStart=/usr/sbin/vtclient", "ExecStart=/bin/true"))
        verify = subprocess.run(["systemd-analyze", "verify", str(copy)], capture_output=True, text=True)
        if verify.returncode != 0 or verify.stderr.strip():
            failures.append("systemd-analyze verify:\n" + verify.stdout + verify.stderr)
else:
    print("systemd-analyze not installed: unit not verified")

# Every file that starts with a sh or bash #! line, outside build trees.
shell_files = []
for folder, subfolders, files in os.walk(root):
    subfolders[:] = sorted(d for d in subfolders if d not in (".git", "build") and not d.startswith("build-"))
    for name in sorted(files):
        path = pathlib.Path(folder) / name
        with open(path, "rb") as f:
            first = f.readline(80)
        if first.startswith(b"#!") and re.search(rb"\b(ba)?sh\b", first) and path.suffix != ".py":
            shell_files.append(path)
check = subprocess.run(["shellcheck", *map(str, shell_files)], capture_output=True, text=True)
if check.returncode != 0:
    failures.append("shellcheck:\n" + check.stdout + check.stderr)
print(f"shellcheck on {len(shell_files)} shell files:", *(p.relative_to(root) for p in shell_files))

if failures:
    sys.exit("\n".join(failures))
