#!/usr/bin/python3
"""The procd and systemd service files and the OpenWrt package start the agent
the way the documents say. The init script's start_service runs with procd's
calls stood in for, and the unit's ExecCondition runs, against configurations
that may or may not start the agent: the first VANTOR_HOST line wins, one quote
on either side is dropped. Both respawn without giving up, with the same pause;
stop by SIGTERM, reload by SIGHUP, readiness by notification; the package has
the project's version. The rpcd plugin answers `list` and `call status` with
the status snapshot, and its ACL grants that call. Every shell file passes
shellcheck, and the unit `systemd-analyze verify` where systemd is installed.

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
failures = []
if not init.read_text().startswith("#!/bin/sh /etc/rc.common\n") or not os.access(init, os.X_OK) \
        or "\nUSE_PROCD=1\n" not in init.read_text():
    failures.append("init script is not an executable procd service under /etc/rc.common")
makefile = (openwrt / "Makefile").read_text()
if f"\nPKG_VERSION:={version}\n" not in makefile or "+libpthread" in makefile:  # musl has no libpthread
    failures.append(f"packaging/openwrt/Makefile: PKG_VERSION is not {version}, or it depends on libpthread")

unit_path = root / "packaging" / "systemd" / "vtclient.service"
unit = configparser.ConfigParser(strict=True, interpolation=None)
unit.optionxform = str
unit.read(unit_path)
service = unit["Service"] if unit.has_section("Service") else {}
condition = shlex.split(service.get("ExecCondition", "")) or ["false"]
procd = "procd_open_instance() { :; }; procd_close_instance() { :; }; logger() { :; }; " \
        'procd_set_param() { echo "$*"; }; . "$1"; CONFIG="$2"; start_service'
hosts = [  # configuration, may it start
    ('VANTOR_HOST=""\n', False), ("VANTOR_HOST=\n", False), ('VANTOR_HOST=""\r\n', False), ("", False),
    ("DEVICE_MODEL=X1\n", False), ('# VANTOR_HOST="vantor.example.com"\nVANTOR_HOST=""\n', False),
    ('VANTOR_HOST=""\nVANTOR_HOST="vantor.example.com"\n', False), (' VANTOR_HOST="vantor.example.com"\n', False),
    ('VANTOR_HOST="vantor.example.com"\n', True), ("UDP_REG_PATH=x\nVANTOR_HOST=127.0.0.1:8443\n", True),
]
with tempfile.TemporaryDirectory() as sandbox:
    config = pathlib.Path(sandbox) / "vtclient.cfg"
    for text, starts in hosts:
        config.write_text(text)
        runs = {"init script": subprocess.run(["sh", "-c", procd, "sh", init, config], capture_output=True, text=True),
                "unit's ExecCondition": subprocess.run([a.replace("/etc/vtclient.cfg", str(config)) for a in condition],
                                                       capture_output=True, text=True)}
        for name, run in runs.items():
            if (run.returncode == 0) != starts or not starts and "not started" not in run.stdout + run.stderr:
                failures.append(f"{name} {'refuses' if starts else 'starts'} with {text!r}: {run.stdout}{run.stderr}")
    # procd: the program, respawn without a limit on crashes in a row, SIGHUP to reload.
    params = dict(line.split(" ", 1) for line in runs["init script"].stdout.splitlines())
    respawn = params.get("respawn", "").split()
    if (params.get("command"), params.get("reload_signal"), respawn[2:]) != ("/usr/sbin/vtclient", "HUP", ["0"]):
        failures.append(f"procd parameters {params}: not vtclient, reload by HUP, respawn ... 0 (never give up)")
    for key, value in (("ExecStart", "/usr/sbin/vtclient"), ("Type", "notify"), ("Restart", "always"),
                       ("RestartSec", respawn[1:2] and respawn[1]), ("KillSignal", "SIGTERM"),
                       ("ExecReload", "/bin/kill -HUP $MAINPID")):
        if service.get(key) != value:
            failures.append(f"vtclient.service [Service] {key} is not {value}")

    # rpcd plugin: its methods, the snapshot as it is, and an error object when there is none.
    def plugin(*args):
        run = subprocess.run(["sh", openwrt / "vtclient.rpcd", *args], input="{}", capture_output=True, text=True,
                             env=dict(os.environ, VTCLIENT_ROOT=sandbox))
        try:
            return json.loads(run.stdout)
        except ValueError:
            return "not JSON: " + run.stdout + run.stderr
    snapshot = {"schema": 1, "channel": {"state": "connected", "server_host": "h\u00e9\"\n"}}
    answers = [("list", plugin("list"), {"status": {}}),
               ("call status without a snapshot", "error" in plugin("call", "status"), True)]
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
        verify = subprocess.run(["systemd-analyze", "verify", copy], capture_output=True, text=True)
        if verify.returncode != 0 or verify.stderr.strip():
            failures.append("systemd-analyze verify:\n" + verify.stdout + verify.stderr)

# Every file that starts with a sh or bash #! line, outside build trees.
shell_files = []
for folder, subfolders, files in os.walk(root):
    subfolders[:] = sorted(d for d in subfolders if d not in (".git", "build") and not d.startswith("build-"))
    for path in (pathlib.Path(folder) / name for name in sorted(files)):
        with open(path, "rb") as f:
            if re.match(rb"#!.*\b(ba)?sh\b", f.readline(80)) and path.suffix != ".py":
                shell_files.append(path)
check = subprocess.run(["shellcheck", *shell_files], capture_output=True, text=True)
if check.returncode != 0:
    failures.append("shellcheck:\n" + check.stdout + check.stderr)
print(f"shellcheck on {len(shell_files)} shell files")
sys.exit("\n".join(failures) if failures else None)
