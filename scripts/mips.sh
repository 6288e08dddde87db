#!/usr/bin/env bash
# Builds the agent for big-endian 32-bit MIPS and runs its unit tests under
# qemu user-mode emulation.
#
#   scripts/mips.sh              install what is missing, build, run the tests
#   scripts/mips.sh --build-only no tests
#
# Exit status 3: the MIPS libcrypto could not be built because Debian's
# openssl source package could not be fetched (nothing was tested).
#
# Big-endian catches every byte-order mistake in the wire format, the event
# records and the statistics. The build lives in build/mips; the MIPS
# libcrypto is built once from Debian's openssl source and cached outside the
# tree (scripts/build-mips-openssl.sh, $VTCLIENT_MIPS_CACHE).
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)

run_tests=1
[ "${1:-}" = "--build-only" ] && run_tests=0

# Host packages first (cmake, GoogleTest sources, ...), then the cross tools.
scripts/install-deps.sh
packages=(g++-mips-linux-gnu qemu-user-static libgtest-dev libgmock-dev dpkg-dev perl make)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Status 3 of the libcrypto build (its source could not be fetched) is passed
# on as this script's status, so that CI can tell it from a failure.
openssl_status=0
openssl_prefix="$(scripts/build-mips-openssl.sh | tail -n 1)" || openssl_status=$?
[ "$openssl_status" -eq 0 ] || exit "$openssl_status"
echo "=== MIPS libcrypto: $openssl_prefix ($(( $(date +%s) - start )) s) ==="

export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}"

# Debian has no big-endian MIPS libcurl: the emulated tests run the build
# machine's wget_https stand-in (the agent finds it through PATH).
cmake --preset default >/dev/null
cmake --build --preset default --target wget_https >/dev/null
host_wget_https="$PWD/build/default/tools/wget_https/wget_https"

build=build/mips
cmake -S . -B "$build" \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchains/mips-linux-gnu.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVTCLIENT_MIPS_OPENSSL="$openssl_prefix" \
  -DVTCLIENT_HOST_WGET_HTTPS="$host_wget_https" >/dev/null
cmake --build "$build" -j "${VTCLIENT_JOBS:-2}"
echo "=== MIPS build: $(( $(date +%s) - start )) s ==="

if [ "$run_tests" -eq 1 ]; then
  # Every unit and integration test runs under qemu-mips, the emulator given
  # to ctest by the toolchain file. Left out: the tests that start the whole
  # vtclient program as a child process of a Python driver (label "faults",
  # names "e2e"). Without a binfmt_misc registration (not available in a
  # container) the driver cannot exec a MIPS program, and several of them
  # drive its clock with libfaketime, which cannot be preloaded into an
  # emulated process. They run in the native builds.
  # Emulation runs the code several times slower than the machine; a test
  # that waits on a deadline gets a second run before it counts as failed (a
  # byte-order fault fails both).
  ctest --test-dir "$build" --output-on-failure -j "${VTCLIENT_JOBS:-2}" \
    --timeout 600 --repeat until-pass:2 -LE 'faults' -E 'e2e'

  # The agent's clock run across 2038 on this 32-bit build.
  scripts/mips-y2038.sh "$build"
fi
echo "=== MIPS total: $(( $(date +%s) - start )) s ==="
