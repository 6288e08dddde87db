#!/usr/bin/python3
"""What is shipped beside the code, run as the systems that take it run it.

The service files start the agent the way the documents say: the init script's
start_service (procd's calls stood in for) and the unit's ExecCondition run
against configurations that may or may not start it (the first VANTOR_HOST line
wins, one quote on either side is dropped); procd respawns it without giving up,
with the unit's pause, and reloads it by SIGHUP. The rpcd plugin answers `list`
and `call status` with the status snapshot. Every shell file passes shellcheck,
and the unit `systemd-analyze verify` where systemd is installed.

The OpenWrt package, of the project's version, installs as OpenWrt installs it:
GNU make reads its Makefile with stand-ins for OpenWrt's make files. Each package
comes out with its dependencies, the files and modes a device expects, programs
stripped; the identity fallback makes the identity files from a board's data.

Usage: check_packaging.py SOURCE_DIR BUILD_DIR WORK_DIR PROJECT_VERSION [STAND_IN]
  BUILD_DIR  a native build of the agent (openssl), as the variant's build
  STAND_IN   1: also build the stand-in on its own, as its variant does
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

source, build, work = (pathlib.Path(a) for a in sys.argv[1:4])
version = sys.argv[4]
openwrt = source / "packaging" / "openwrt"
failures = []
shutil.rmtree(work, ignore_errors=True)
sandbox = work / "service"
sandbox.mkdir(parents=True)
init = openwrt / "vtclient.init"
makefile = openwrt / "Makefile"  # musl has no libpthread
if f"\nPKG_VERSION:={version}\n" not in makefile.read_text() or "+libpthread" in makefile.read_text():
    failures.append(f"packaging/openwrt/Makefile: PKG_VERSION is not {version}, or it depends on libpthread")

# The service files, against configurations that may or may not start the agent.
unit_path = source / "packaging" / "systemd" / "vtclient.service"
unit = configparser.ConfigParser(strict=True, interpolation=None)
unit.optionxform = str
unit.read(unit_path)
service = unit["Service"] if unit.has_section("Service") else {}
condition = shlex.split(service.get("ExecCondition", "")) or ["false"]
# rc.common as procd's: start_service, for a script that says USE_PROCD=1.
procd = "procd_open_instance() { :; }; procd_close_instance() { :; }; logger() { :; }; " \
        'procd_set_param() { echo "$*"; }; . "$1"; CONFIG="$2"; [ "$USE_PROCD" = 1 ] && start_service'
hosts = [  # configuration, may it start
    ('VANTOR_HOST=""\n', False), ("VANTOR_HOST=\n", False), ('VANTOR_HOST=""\r\n', False), ("", False),
    ("DEVICE_MODEL=X1\n", False), ('# VANTOR_HOST="vantor.example.com"\nVANTOR_HOST=""\n', False),
    ('VANTOR_HOST=""\nVANTOR_HOST="vantor.example.com"\n', False), (' VANTOR_HOST="vantor.example.com"\n', False),
    ('VANTOR_HOST="vantor.example.com"\n', True), ("UDP_REG_PATH=x\nVANTOR_HOST=127.0.0.1:8443\n", True),
]
config = sandbox / "vtclient.cfg"
for text, starts in hosts:
    config.write_text(text)
    runs = {"init script": subprocess.run(["sh", "-c", procd, "sh", init, config], capture_output=True, text=True),
            "unit's ExecCondition": subprocess.run([a.replace("/etc/vtclient.cfg", str(config)) for a in condition],
                                                   capture_output=True, text=True)}
    for name, done in runs.items():
        if (done.returncode == 0) != starts or not starts and "not started" not in done.stdout + done.stderr:
            failures.append(f"{name} {'refuses' if starts else 'starts'} with {text!r}: {done.stdout}{done.stderr}")
# procd: the program, respawn without a limit on crashes in a row, SIGHUP to reload.
params = dict(line.split(" ", 1) for line in runs["init script"].stdout.splitlines())
respawn = params.get("respawn", "").split()
if (params.get("command"), params.get("reload_signal"), respawn[2:]) != ("/usr/sbin/vtclient", "HUP", ["0"]):
    failures.append(f"procd parameters {params}: not vtclient, reload by HUP, respawn ... 0 (never give up)")
# The unit pauses as long between restarts as procd does.
if service.get("RestartSec") != (respawn[1:2] and respawn[1]):
    failures.append(f"vtclient.service [Service] RestartSec is not procd's respawn pause {respawn[1:2]}")


# rpcd plugin: its methods, the snapshot as it is, and an error object when there is none.
def plugin(*args):
    done = subprocess.run(["sh", openwrt / "vtclient.rpcd", *args], input="{}", capture_output=True, text=True,
                          env=dict(os.environ, VTCLIENT_ROOT=str(sandbox)))
    try:
        return json.loads(done.stdout)
    except ValueError:
        return "not JSON: " + done.stdout + done.stderr


snapshot = {"schema": 1, "channel": {"state": "connected", "server_host": "h\u00e9\"\n"}}
answers = [("list", plugin("list"), {"status": {}}),
           ("call status without a snapshot", "error" in plugin("call", "status"), True)]
(sandbox / "var" / "run" / "vtclient").mkdir(parents=True)
(sandbox / "var" / "run" / "vtclient" / "status.json").write_text(json.dumps(snapshot))
answers.append(("call status", plugin("call", "status"), snapshot))
failures += [f"rpcd plugin {what}: {got!r}, not {wanted!r}" for what, got, wanted in answers if got != wanted]

# verify wants the program to exist: a copy of the unit runs /bin/true.
if shutil.which("systemd-analyze"):
    copy = sandbox / unit_path.name
    copy.write_text(unit_path.read_text().replace("ExecStart=/usr/sbin/vtclient", "ExecStart=/bin/true"))
    verify = subprocess.run(["systemd-analyze", "verify", copy], capture_output=True, text=True)
    if verify.returncode != 0 or verify.stderr.strip():
        failures.append("systemd-analyze verify:\n" + verify.stdout + verify.stderr)

# Every file that starts with a sh or bash #! line, outside build trees.
shell_files = []
for folder, subfolders, files in os.walk(source):
    subfolders[:] = sorted(d for d in subfolders if d not in (".git", "build") and not d.startswith("build-"))
    for path in (pathlib.Path(folder) / name for name in sorted(files)):
        with open(path, "rb") as f:
            if re.match(rb"#!.*\b(ba)?sh\b", f.readline(80)) and path.suffix != ".py":
                shell_files.append(path)
check = subprocess.run(["shellcheck", *shell_files], capture_output=True, text=True)
if check.returncode != 0:
    failures.append("shellcheck:\n" + check.stdout + check.stderr)
print(f"shellcheck on {len(shell_files)} shell files")

# The OpenWrt package, with stand-ins for OpenWrt's own make files.
stubs = work / "openwrt"
(stubs / "include").mkdir(parents=True)
(stubs / "include" / "cmake.mk").write_text("")
# OpenWrt's own definitions of the install commands.
(stubs / "rules.mk").write_text("INCLUDE_DIR:=$(TOPDIR)/include\nINSTALL_DIR:=install -d -m0755\n"
                                "INSTALL_BIN:=install -m0755\nINSTALL_DATA:=install -m0644\n"
                                "INSTALL_CONF:=install -m0600\nCP:=cp -fpR\nLN:=ln -sf\n")
# Every package a target: build-install runs Build/Install, install-<name>
# the package's install into $(STAGE)/<name>, dump-<name> prints its fields.
(stubs / "include" / "package.mk").write_text("""define BuildPackage
VARIANT:=
PROVIDES:=
DEPENDS:=
$$(eval $$(Package/$(1)))
FIELDS_$(1):=VARIANT=$$(VARIANT) DEPENDS=$$(DEPENDS) PROVIDES=$$(PROVIDES)
.PHONY: install-$(1) dump-$(1)
install-$(1):
\t$$(call Package/$(1)/install,$$(STAGE)/$(1))
dump-$(1):
\t@echo '$$(FIELDS_$(1))'
endef
.PHONY: build-install
build-install:
\t$(Build/Install)
""")


def run(argv, what):
    done = subprocess.run(argv, capture_output=True, text=True)
    failures.extend([f"{what}:\n{done.stdout}{done.stderr}"] if done.returncode else [])
    return done.stdout


def make(variant, binary_dir, *targets):
    return run(["make", "--no-print-directory", "-f", str(makefile), f"TOPDIR={stubs}", f"BUILD_VARIANT={variant}",
                f"PKG_BUILD_DIR={source}", f"CMAKE_BINARY_DIR={binary_dir}", f"PKG_INSTALL_DIR={work / variant}",
                f"STAGE={work / 'packages'}", *targets], f"make {variant} {' '.join(targets)}")


packages = [  # package, variant, its dependencies, its build, its files and their modes
    ("vtclient-openssl", "openssl", "+libstdcpp +libopenssl", build,
     {"usr/sbin/vtclient": 0o755, "usr/sbin/vtclient-checkconf": 0o755, "etc/vtclient.cfg": 0o600,
      "etc/init.d/vtclient": 0o755, "etc/hotplug.d/iface/95-vtclient": 0o644, "usr/sbin/vtclient-status": 0o755,
      "usr/libexec/rpcd/vtclient": 0o755, "usr/share/rpcd/acl.d/vtclient.json": 0o644}),
    ("vtclient-mbedtls", "mbedtls", "+libstdcpp +libmbedtls", None, None),
    ("vtclient-wget-https", "stand-in", "+libstdcpp +libcurl +ca-bundle", work / "stand-in-build",
     {"usr/bin/wget_https": 0o755}),
    ("vtclient-identity-fallback", "identity", "+vtclient", work / "unused",
     {"etc/uci-defaults/95-vtclient-identity": 0o755}),
]
for name, variant, depends, binary_dir, expected in packages:
    fields = make(variant, work / "unused", f"dump-{name}")
    if f"VARIANT={variant} " not in fields or not set(depends.split()) <= set(fields.replace("DEPENDS=", "").split()):
        failures.append(f"{name}: {fields.strip()}, not VARIANT={variant} with {depends}")
    if expected is None or (variant == "stand-in" and sys.argv[5:6] != ["1"]):
        continue
    if variant == "stand-in":  # built on its own, as its variant does
        run(["cmake", "-S", str(source / "tools" / "wget_https"), "-B", str(binary_dir), "-DCMAKE_INSTALL_PREFIX=/usr"],
            "cmake the stand-in")
        run(["cmake", "--build", str(binary_dir)], "build the stand-in")
    make(variant, binary_dir, "build-install", f"install-{name}")
    root = work / "packages" / name
    staged = {str(p.relative_to(root)): p.stat().st_mode & 0o7777 for p in root.rglob("*") if p.is_file()}
    if staged != expected:
        failures.append(f"{name}:\n  expected {expected}\n  staged   { {k: oct(v) for k, v in staged.items()} }")
    elves = [root / path for path in staged if (root / path).read_bytes()[:4] == b"\x7fELF"]
    failures += [f"{name}: {elf} is not stripped" for elf in elves
                 if re.search(r"\.symtab|\.debug_info", run(["readelf", "-S", "-W", elf], "readelf"))]

# The identity fallback on a generic image's root: the label MAC, else the
# first network device's; a file that is there stays as it is.
script = work / "packages" / "vtclient-identity-fallback" / "etc" / "uci-defaults" / "95-vtclient-identity"
release = {"model": "archer-c7-v2", "software-release": "23.05.3"}
boards = [  # files there before, label MAC, files expected after
    ({}, "", dict(release, **{"serial.number": "A42BB0112233"})),
    ({}, "e8:48:b8:00:00:01", dict(release, **{"serial.number": "E848B8000001"})),
    ({"serial.number": "1234-5678-ABCD", "TRELL_model": "RT100"}, "",
     {"serial.number": "1234-5678-ABCD", "TRELL_model": "RT100", "software-release": "23.05.3"}),
]
for before, label, after in boards:
    board = work / "board"
    shutil.rmtree(board, ignore_errors=True)
    for path, text in {"tmp/sysinfo/board_name": "tplink,archer-c7-v2",
                       "etc/openwrt_release": "DISTRIB_ID='OpenWrt'\nDISTRIB_RELEASE='23.05.3'",
                       "sys/class/net/br-lan/address": "a4:2b:b0:11:22:34",
                       "sys/class/net/eth0/address": "a4:2b:b0:11:22:33",
                       "sys/class/net/lo/address": "00:00:00:00:00:00",
                       **({"lib/functions/system.sh": f"get_mac_label() {{ echo {label}; }}"} if label else {}),
                       **{f"etc/{name}": text for name, text in before.items()}}.items():
        (board / path).parent.mkdir(parents=True, exist_ok=True)
        (board / path).write_text(text + "\n")
    (board / "sys/class/net/eth0/device").mkdir()
    done = subprocess.run(["sh", str(script)], env={**os.environ, "VTCLIENT_ROOT": str(board)},
                          capture_output=True, text=True)
    made = {p.name: p.read_text().strip() for p in (board / "etc").iterdir() if p.name != "openwrt_release"}
    if done.returncode != 0 or made != after:
        failures.append(f"identity fallback with {before} and label {label!r}: exit {done.returncode}, "
                        f"made {made}, expected {after}\n{done.stderr}")
sys.exit("\n".join(failures) if failures else None)
