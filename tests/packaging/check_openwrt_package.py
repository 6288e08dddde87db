#!/usr/bin/python3
"""The OpenWrt package's install steps, run as OpenWrt runs them: GNU make reads
packaging/openwrt/Makefile with stand-ins for OpenWrt's rules.mk, package.mk and
cmake.mk, which give $(INSTALL_*) OpenWrt's definitions and make every package a
target that runs its Build/Install and its Package/<name>/install. Each package
comes out with its dependencies, the files and modes a device expects, programs
stripped; the identity fallback makes the identity files from a board's data.

Usage: check_openwrt_package.py SOURCE_DIR BUILD_DIR WORK_DIR [STAND_IN]
  BUILD_DIR  a native build of the agent (openssl), as the variant's build
  STAND_IN   1: also build the stand-in on its own, as its variant does
"""
import os
import pathlib
import re
import shutil
import subprocess
import sys

source, build, work = (pathlib.Path(a) for a in sys.argv[1:4])
makefile = source / "packaging" / "openwrt" / "Makefile"
failures = []
shutil.rmtree(work, ignore_errors=True)
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
    if expected is None or (variant == "stand-in" and sys.argv[4:5] != ["1"]):
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
