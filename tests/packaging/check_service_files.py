#!/usr/bin/python3
"""The procd and systemd service files and the OpenWrt package start the
agent the way the documents say: respawn without giving up, with the same
pause under both, stop by SIGTERM, reload by SIGHUP, readiness by
notification, the project's version in the package, and no start before
VANTOR_HOST is set. The rpcd plugin answers `list` and
`call status` with the status snapshot, and its ACL grants that call. Every
shell file passes shellcheck, and the unit `systemd-analyze verify` where
systemd is installed.

Usage: check_service_files.py SOURCE_DIR PROJECT_VERSION
"""
import configparser
import json
import os
import pathlib
import re
import shlex
import shutil
import subprocess
import sys
import tempfile

root, version = pathlib.Path(sys.argv[1]), sys.argv[2]
openwrt = root / "packaging" / "openwrt"
init = openwrt / "vtclient.init"
text = init.read_text()
failures = [f"init script lacks {needed!r}" for needed in
            ("USE_PROCD=1", "PROG=/usr/sbin/vtclient", "procd_set_param reload_signal HUP") if needed not in text]
if not text.startswith("#!/bin/sh /etc/rc.common\n") or not os.access(init, os.X_OK):
    failures.append("init script is not executable under /etc/rc.common")
# procd gives up after <retry> quick crashes in a row unless retry is 0.
respawn = re.search(r"procd_set_param respawn (\d+) (\d+) (\d+)", text)
if not respawn or respawn[3] != "0":
    failures.append("procd respawn must name threshold, delay and a retry limit of 0 (never give up)")

makefile = (openwrt / "Makefile").read_text()
if f"\nPKG_VERSION:={version}\n" not in makefile or "+libpthread" in makefile:  # musl has no libpthread
    failures.append(f"packaging/openwrt/Makefile: PKG_VERSION is not {version}, or it depends on libpthread")

unit_path = root / "packaging" / "systemd" / "vtclient.service"
unit = configparser.ConfigParser(strict=True, interpolation=None)
unit.optionxform = str
unit.read(unit_path)
for key, value in (("ExecStart", "/usr/sbin/vtclient"), ("Type", "notify"), ("Restart", "always"),
                   ("RestartSec", respawn and respawn[2]), ("KillSignal", "SIGTERM"),
                   ("ExecReload", "/bin/kill -HUP $MAINPID")):
    if unit.get("Service", key, fallback=None) != value:
        failures.append(f"vtclient.service [Service] {key} is not {value}")

# Both init systems refuse to start until VANTOR_HOST is set, read as the
# agent reads it: the first line wins, one quote on either side is dropped.
hosts = [  # configuration, may it start
    ('VANTOR_HOST=""\n', False), ("VANTOR_HOST=\n", False), ('VANTOR_HOST=""\r\n', False),
    ("DEVICE_MODEL=X1\n", False), ('# VANTOR_HOST="vantor.example.com"\nVANTOR_HOST=""\n', False),
    ('VANTOR_HOST=""\nVANTOR_HOST="vantor.example.com"\n', False), (' VANTOR_HOST="vantor.example.com"\n', False),
    ('VANTOR_HOST="vantor.example.com"\n', True), ("UDP_REG_PATH=x\nVANTOR_HOST=127.0.0.1:8443\n", True),
]
condition = shlex.split(unit.get("Service", "ExecCondition", fallback="")) or ["false"]
with tempfile.TemporaryDirectory() as sandbox:
    config = pathlib.Path(sandbox) / "vtclient.cfg"
    for text, starts in hosts:
        config.write_text(text)
        procd = subprocess.run(["sh", "-c", '. "$1"; CONFIG="$2"; host_is_set', "sh", str(init), str(config)],
                               capture_output=True, text=True)
        systemd = subprocess.run([arg.replace("/etc/vtclient.cfg", str(config)) for arg in condition],
                                 capture_output=True, text=True)
        for name, run in (("init script", procd), ("unit's ExecCondition", systemd)):
            if (run.returncode == 0) != starts:
                failures.append(f"{name} {'refuses' if starts else 'starts'} with {text!r}: {run.stdout}{run.stderr}")
        if not starts and "VANTOR_HOST is not set" not in systemd.stdout:
            failures.append(f"unit's ExecCondition gives no reason for {text!r}")

    # rpcd plugin: its methods, the snapshot as it is, and an error object when there is none.
    def plugin(*args):
        run = subprocess.run(["sh", str(openwrt / "vtclient.rpcd"), *args], input="{}", capture_output=True,
                             text=True, env=dict(os.environ, VTCLIENT_ROOT=sandbox))
        try:
            return json.loads(run.stdout)
        except ValueError:
            return "not JSON: " + run.stdout + run.stderr
    snapshot = {"schema": 1, "channel": {"state": "connected", "server_host": "h\u00e9\"\n"}}
    answers = [("list", plugin("list"), {"status": {}}),
               ("call status without a snapshot", (lambda m: isinstance(m, dict) and "error" in m)(
                   plugin("call", "status")), True)]
    os.makedirs(os.path.join(sandbox, "var", "run", "vtclient"))
    with open(os.path.join(sandbox, "var", "run", "vtclient", "status.json"), "w") as f:
        json.dump(snapshot, f)
    answers.append(("call status", plugin("call", "status"), snapshot))
    failures += [f"rpcd plugin {what}: {got!r}, not {wanted!r}" for what, got, wanted in answers if got != wanted]
    acl = json.loads((openwrt / "vtclient-acl.json").read_text())
    if acl.get("vtclient", {}).get("read", {}).get("ubus", {}).get("vtclient") != ["status"]:
        failures.append("vtclient-acl.json does not grant reading ubus vtclient status")

    # verify wants the program to exist: a copy of the unit runs /bin/true.
    if shutil.which("systemd-analyze"):
        copy = pathlib.Path(sandbox) / unit_path.name
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
    for path in (pathlib.Path(folder) / name for name in sorted(files)):
        with open(path, "rb") as f:
            first = f.readline(80)
        if first.startswith(b"#!") and re.search(rb"\b(ba)?sh\b", first) and path.suffix != ".py":
            shell_files.append(path)
check = subprocess.run(["shellcheck", *map(str, shell_files)], capture_output=True, text=True)
if check.returncode != 0:
    failures.append("shellcheck:\n" + check.stdout + check.stderr)
print(f"shellcheck on {len(shell_files)} shell files")
sys.exit("\n".join(failures) if failures else None)
