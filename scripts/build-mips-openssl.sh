#!/usr/bin/env bash
# Builds libcrypto for big-endian 32-bit MIPS from Debian's own openssl source
# package. Debian 12 ships no big-endian MIPS libcrypto, so the cross build
# needs one of its own.
#
#   scripts/build-mips-openssl.sh            build once, then reuse the cache
#   scripts/build-mips-openssl.sh --print    only print the install prefix
#
# Exit status: 0 built or cached, 3 the source package could not be fetched,
# anything else a failed build.
#
# The result is cached outside the build tree, in $VTCLIENT_MIPS_CACHE
# (default ~/.cache/vtclient-mips), so that a second run costs nothing:
#   <cache>/openssl/include/openssl/*.h
#   <cache>/openssl/lib/libcrypto.a     (position-independent objects)
#   <cache>/openssl/lib/libcrypto.so*   (the same objects as a shared library,
#                                        as firmware links it)
#   <cache>/openssl/VERSION             (the Debian source version used)
# The last line printed is the install prefix.
#
# The source comes through `apt-get source`. Debian's sources file lists binary
# packages only; a temporary file under /etc/apt/sources.list.d/ adds the
# matching deb-src entry for the download and is removed again on every exit.
set -euo pipefail

cross=mips-linux-gnu
cache="${VTCLIENT_MIPS_CACHE:-$HOME/.cache/vtclient-mips}"
jobs="${VTCLIENT_JOBS:-2}"

prefix="$cache/openssl"

if [ "${1:-}" = "--print" ]; then
  echo "$prefix"
  exit 0
fi

if [ -f "$prefix/lib/libcrypto.a" ] && [ -f "$prefix/lib/libcrypto.so" ] &&
   [ -f "$prefix/include/openssl/evp.h" ]; then
  echo "libcrypto for $cross is cached"
  echo "$prefix"
  exit 0
fi

command -v "$cross-gcc" >/dev/null || { echo "missing $cross-gcc (g++-mips-linux-gnu)" >&2; exit 1; }

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"

work="$cache/work"
src_list=/etc/apt/sources.list.d/vtclient-openssl-src.sources
cleanup() {
  $SUDO rm -f "$src_list"
}
trap cleanup EXIT INT TERM

mkdir -p "$cache"
rm -rf "$work"
mkdir -p "$work"

# The deb-src entry names the same mirrors and suites as debian.sources, which
# is read, never changed.
uris="$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)"
[ -n "$uris" ] || uris=http://deb.debian.org/debian
# shellcheck source=/dev/null
codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")"
$SUDO tee "$src_list" >/dev/null <<EOF
Types: deb-src
URIs: $uris
Suites: $codename $codename-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: ${uris%/debian}/debian-security
Suites: $codename-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF

$SUDO apt-get update -qq
# Prefer the release the host's libssl-dev comes from, so that the cross build
# and the host build compile against the same OpenSSL; else take the newest
# source the mirror really serves (an index can name a version whose files are
# not there).
installed="$(dpkg-query -W -f='${Version}' libssl-dev 2>/dev/null || true)"
listed="$(apt-cache showsrc openssl 2>/dev/null | awk '/^Version:/ {print $2}' | sort -rV)"
version=""
for v in $installed $listed; do
  echo "Fetching the openssl $v source package"
  if (cd "$work" && apt-get source -qq "openssl=$v" >/dev/null 2>&1); then
    version="$v"
    break
  fi
  rm -rf "${work:?}"/*
done
cleanup
# Exit status 3 says "the source could not be had" (mirror or network), as
# against a build that failed; CI reports the first as a skipped MIPS round.
[ -n "$version" ] || { echo "no openssl source package could be fetched" >&2; exit 3; }

srcdir="$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'openssl-*' | head -n 1)"
[ -n "$srcdir" ] || { echo "openssl source not unpacked" >&2; exit 1; }

echo "Configuring libcrypto for $cross in $srcdir"
cd "$srcdir"
# Only libcrypto is built: no tests, docs or loadable modules. The
# objects are position-independent so that the same archive yields the shared
# library below. 32-bit MIPS has no 64-bit atomics, hence -latomic.
CC="$cross-gcc" AR="$cross-ar" RANLIB="$cross-ranlib" \
  ./Configure linux-mips32 no-shared no-module no-tests no-engine \
    -fPIC -Os --prefix="$prefix" --libdir=lib -latomic >/dev/null

echo "Building libcrypto.a (make -j$jobs)"
make -j"$jobs" build_generated >/dev/null
make -j"$jobs" libcrypto.a >/dev/null

# Install by hand: only the library and its headers.
rm -rf "$prefix"
mkdir -p "$prefix/lib" "$prefix/include"
cp libcrypto.a "$prefix/lib/"
cp -r include/openssl "$prefix/include/"
echo "$version" > "$prefix/VERSION"
# Shared library from the same objects, with the soname Debian uses.
"$cross-gcc" -shared -o "$prefix/lib/libcrypto.so.3" -Wl,-soname,libcrypto.so.3 \
  -Wl,--whole-archive "$prefix/lib/libcrypto.a" -Wl,--no-whole-archive \
  -latomic -pthread -ldl
ln -sf libcrypto.so.3 "$prefix/lib/libcrypto.so"

rm -rf "$work"
echo "libcrypto $version for $cross installed"
echo "$prefix"
