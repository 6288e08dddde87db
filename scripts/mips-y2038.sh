#!/usr/bin/env bash
# Runs the agent's past-2038 fault test against the 32-bit big-endian MIPS
# build, whose glibc has 32-bit time_t unless built with _TIME_BITS=64.
#
#   scripts/mips-y2038.sh [build dir]     (default build/mips, from scripts/mips.sh)
#
# libfaketime cannot be preloaded into an emulated program, so it is preloaded
# into the emulator instead: the dynamically linked qemu-mips answers the
# program's clock calls with its own, faked ones. "-U LD_PRELOAD" keeps the
# x86-64 library out of the emulated program's environment.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/mips}"

missing=()
for p in qemu-user faketime; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

agent="$PWD/$build/daemon/vtclient"
[ -x "$agent" ] || { echo "no MIPS vtclient at $agent (run scripts/mips.sh --build-only)" >&2; exit 1; }
echo "=== Past 2038 on 32-bit MIPS: $agent ==="
cd tests/faults
VTCLIENT_BIN="$agent" VTCLIENT_EXEC="qemu-mips -L /usr/mips-linux-gnu -U LD_PRELOAD" \
  PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -m unittest -v test_clock_steps.ClockSteps.test_past_2038
