#!/usr/bin/env bash
# Footprint of the agent: what it costs a router to carry and to run.
#
#   scripts/footprint.sh              sizes, then the run-time figures
#   scripts/footprint.sh --sizes      sizes only
#   IDLE_SECONDS=300 scripts/footprint.sh   longer idle window (default 120)
#
# Sizes: stripped `vtclient` for x86-64 and for big-endian MIPS, the MIPS one
# linked against a shared libcrypto (as firmware links it) and, beside it,
# against the static one, and the static musl MIPS build with mbedTLS, which
# needs nothing else on the device. Run-time (x86-64 build, against the simulator on
# loopback): resident and private memory after start-up and through one hour
# of simulated activity under libfaketime, threads, idle CPU per hour and
# wake-ups per second, with a bare `sleep` as the floor.
# Prints a Markdown report and keeps it in build/footprint/report.md.
set -euo pipefail
cd "$(dirname "$0")/.."
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}"
jobs="${VTCLIENT_JOBS:-2}"
out=build/footprint
mkdir -p "$out"

sizes_only=0
[ "${1:-}" = "--sizes" ] && sizes_only=1

scripts/install-deps.sh
# The cross tools, the same way scripts/mips.sh gets them.
missing=()
for p in g++-mips-linux-gnu qemu-user-static strace; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

bytes() { stat -c %s "$1"; }
kib() { awk -v b="$1" 'BEGIN { printf "%.1f KiB", b / 1024 }'; }

# --- x86-64: the size-optimised release build (no tests) -------------------
cmake --preset release >/dev/null
cmake --build --preset release --target vtclient wget_https >/dev/null
strip -o "$out/vtclient.x86_64" build/release/daemon/vtclient
x86_size=$(bytes "$out/vtclient.x86_64")

# --- big-endian MIPS, shared and static libcrypto ---------------------------
openssl_prefix="$(scripts/build-mips-openssl.sh | tail -n 1)"
for kind in shared static; do
  static=OFF
  [ "$kind" = static ] && static=ON
  cmake -S . -B "build/mips-release-$kind" \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchains/mips-linux-gnu.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DVTCLIENT_BUILD_TESTS=OFF \
    -DVTCLIENT_MIPS_OPENSSL="$openssl_prefix" -DVTCLIENT_MIPS_OPENSSL_STATIC=$static \
    -DVTCLIENT_HOST_WGET_HTTPS="$PWD/build/release/tools/wget_https/wget_https" >/dev/null
  cmake --build "build/mips-release-$kind" -j "$jobs" --target vtclient >/dev/null
  mips-linux-gnu-strip -o "$out/vtclient.mips.$kind" "build/mips-release-$kind/daemon/vtclient"
done
# --- big-endian MIPS, static musl with mbedTLS ------------------------------
mbedtls_prefix="$(scripts/build-mips-mbedtls.sh | tail -n 1)"
zig="$(scripts/fetch-zig.sh | tail -n 1)"
cmake -S . -B build/mips-musl-release \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchains/mips-linux-musl.cmake" \
  -DCMAKE_BUILD_TYPE=MinSizeRel -DVTCLIENT_BUILD_TESTS=OFF \
  -DVTCLIENT_ZIG_BIN="$(dirname "$zig")/bin" -DVTCLIENT_MBEDTLS_ROOT="$mbedtls_prefix" \
  -DVTCLIENT_HOST_WGET_HTTPS="$PWD/build/release/tools/wget_https/wget_https" >/dev/null
cmake --build build/mips-musl-release -j "$jobs" --target vtclient >/dev/null
mips-linux-gnu-strip -o "$out/vtclient.mips.musl" build/mips-musl-release/daemon/vtclient
mips_musl=$(bytes "$out/vtclient.mips.musl")
musl_needed=$(mips-linux-gnu-readelf -d "$out/vtclient.mips.musl" 2>/dev/null | awk -F'[][]' '/NEEDED/ {printf "%s ", $2}')

mips_shared=$(bytes "$out/vtclient.mips.shared")
mips_static=$(bytes "$out/vtclient.mips.static")
mips-linux-gnu-strip -o "$out/libcrypto.so.3.mips" "$openssl_prefix/lib/libcrypto.so.3"
crypto_so=$(bytes "$out/libcrypto.so.3.mips")
needed=$(mips-linux-gnu-readelf -d "$out/vtclient.mips.shared" | awk -F'[][]' '/NEEDED/ {printf "%s ", $2}')

{
  echo "## Footprint of vtclient"
  echo
  echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') on $(uname -m), $(nproc) cores; reproduce with \`scripts/footprint.sh\`."
  echo
  echo "### Size (stripped, MinSizeRel)"
  echo
  echo "| build | bytes | size |"
  echo "|---|---|---|"
  echo "| x86-64, shared libcrypto | $x86_size | $(kib "$x86_size") |"
  echo "| MIPS32 big-endian, shared libcrypto (as firmware links it) | $mips_shared | $(kib "$mips_shared") |"
  echo "| MIPS32 big-endian, static libcrypto | $mips_static | $(kib "$mips_static") |"
  echo "| MIPS32 big-endian, static musl with mbedTLS (nothing else needed) | $mips_musl | $(kib "$mips_musl") |"
  echo "| (MIPS libcrypto.so.3 itself, for comparison) | $crypto_so | $(kib "$crypto_so") |"
  echo
  echo "MIPS shared build needs: $needed"
  echo
  echo "MIPS static musl build needs: ${musl_needed:-nothing (static)}"
} > "$out/report.md"

if [ "$sizes_only" -eq 0 ]; then
  /usr/bin/python3 scripts/footprint_run.py \
    --vtclient build/release/daemon/vtclient \
    --wget-https build/release/tools/wget_https/wget_https \
    --idle-seconds "${IDLE_SECONDS:-120}" >> "$out/report.md"
fi
cat "$out/report.md"
