#!/usr/bin/python3
"""The procd and systemd service files start the agent the way the documents
say: respawn, stop by SIGTERM, reload by SIGHUP, restart on failure.

Usage: check_service_files.py SOURCE_DIR
"""
import configparser
import os
import pathlib
import subprocess
import sys

root = pathlib.Path(sys.argv[1])
init = root / "packaging" / "openwrt" / "vtclient.init"
text = init.read_text()
failures = [f"init script lacks {needed!r}" for needed in
            ("USE_PROCD=1", "PROG=/usr/sbin/vtclient", "procd_set_param command",
             "procd_set_param respawn", "procd_set_param reload_signal HUP") if needed not in text]
if not text.startswith("#!/bin/sh /etc/rc.common\n"):
    failures.append("init script does not run under /etc/rc.common")
if subprocess.run(["sh", "-n", str(init)]).returncode != 0 or not os.access(init, os.X_OK):
    failures.append("init script has a shell syntax error or is not executable")

unit = configparser.ConfigParser(strict=True, interpolation=None)
unit.optionxform = str
unit.read(root / "packaging" / "systemd" / "vtclient.service")
for section, key, value in (("Service", "ExecStart", "/usr/sbin/vtclient"),
                            ("Service", "Restart", "on-failure"), ("Service", "KillSignal", "SIGTERM"),
                            ("Service", "ExecReload", "/bin/kill -HUP $MAINPID"),
                            ("Install", "WantedBy", "multi-user.target")):
    if unit.get(section, key, fallback=None) != value:
        failures.append(f"vtclient.service [{section}] {key} is not {value}")

if failures:
    sys.exit("\n".join(failures))
