#!/usr/bin/python3
"""The procd and systemd service files start the agent the way the documents
say: respawn, stop by SIGTERM, reload by SIGHUP, restart on failure.

Usage: check_service_files.py SOURCE_DIR
"""
import configparser
import pathlib
import subprocess
import sys

root = pathlib.Path(sys.argv[1])
failures = []

init = root / "packaging" / "openwrt" / "vtclient.init"
text = init.read_text()
if not text.startswith("#!/bin/sh /etc/rc.common\n"):
    failures.append("init script does not run under /etc/rc.common")
if subprocess.run(["sh", "-n", str(init)]).returncode != 0:
    failures.append("init script has a shell syntax error")
for needed in ("USE_PROCD=1", "procd_set_param command /usr/sbin/vtclient",
               "procd_set_param respawn", "procd_set_param reload_signal HUP"):
    if needed.replace(" /usr/sbin/vtclient", "") not in text:
        failures.append(f"init script lacks {needed!r}")
if 'PROG=/usr/sbin/vtclient' not in text:
    failures.append("init script does not start /usr/sbin/vtclient")
if not init.stat().st_mode & 0o111:
    failures.append("init script is not executable")

unit = configparser.ConfigParser(strict=True, interpolation=None)
unit.optionxform = str
unit.read(root / "packaging" / "systemd" / "vtclient.service")
expect = {
    ("Service", "ExecStart"): "/usr/sbin/vtclient",
    ("Service", "Restart"): "on-failure",
    ("Service", "KillSignal"): "SIGTERM",
    ("Service", "ExecReload"): "/bin/kill -HUP $MAINPID",
    ("Install", "WantedBy"): "multi-user.target",
}
for (section, key), value in expect.items():
    got = unit.get(section, key, fallback=None)
    if got != value:
        failures.append(f"vtclient.service [{section}] {key}={got}, expected {value}")

for failure in failures:
    print(failure)
sys.exit(1 if failures else 0)
