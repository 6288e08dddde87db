#!/usr/bin/env bash
# Builds mbedTLS's libmbedcrypto for the static musl big-endian MIPS build,
# from Debian's own mbedtls source package, with the pinned Zig toolchain
# (scripts/fetch-zig.sh), for its target: MIPS32r2 with software floating
# point. Only the crypto library is built; the agent links its AES module
# alone.
#
#   scripts/build-mips-mbedtls.sh            build once, then reuse the cache
#   scripts/build-mips-mbedtls.sh --print    only print the install prefix
#
# Exit status: 0 built or cached, 3 the source package could not be fetched,
# anything else a failed build.
#
# Cached outside the build tree, in $VTCLIENT_MIPS_CACHE (default
# ~/.cache/vtclient-mips), beside the MIPS libcrypto, under a name that
# carries the target, so that a library built for another one (the
# hard-float mbedtls-musl of earlier builds) is never taken:
#   <cache>/mbedtls-musl-mips32r2-sf/include/mbedtls/*.h
#   <cache>/mbedtls-musl-mips32r2-sf/lib/libmbedcrypto.a
#   <cache>/mbedtls-musl-mips32r2-sf/VERSION    (the Debian source version used)
# The last line printed is the install prefix.
set -euo pipefail
cd "$(dirname "$0")/.."

cache="${VTCLIENT_MIPS_CACHE:-$HOME/.cache/vtclient-mips}"
jobs="${VTCLIENT_JOBS:-2}"
# Changes with the target of scripts/fetch-zig.sh's compiler wrappers.
prefix="$cache/mbedtls-musl-mips32r2-sf"

if [ "${1:-}" = "--print" ]; then
  echo "$prefix"
  exit 0
fi
if [ -f "$prefix/lib/libmbedcrypto.a" ] && [ -f "$prefix/include/mbedtls/aes.h" ]; then
  echo "libmbedcrypto for mips-linux-musl is cached"
  echo "$prefix"
  exit 0
fi

zig="$(scripts/fetch-zig.sh | tail -n 1)"
bin="$(dirname "$zig")/bin"

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
work="$cache/mbedtls-work"
src_list=/etc/apt/sources.list.d/vtclient-mbedtls-src.sources
cleanup() {
  $SUDO rm -f "$src_list"
}
trap cleanup EXIT INT TERM
mkdir -p "$cache"
rm -rf "$work"
mkdir -p "$work"

# A deb-src entry for the same mirrors and suites as debian.sources (read,
# never changed), for the download only.
uris="$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)"
[ -n "$uris" ] || uris=http://deb.debian.org/debian
# shellcheck source=/dev/null
codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")"
$SUDO tee "$src_list" >/dev/null <<LIST
Types: deb-src
URIs: $uris
Suites: $codename $codename-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
LIST
$SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq
# The release the host's libmbedtls-dev comes from first, so that both
# backends of the native and the MIPS builds read the same headers.
installed="$(dpkg-query -W -f='${Version}' libmbedtls-dev 2>/dev/null || true)"
listed="$(apt-cache showsrc mbedtls 2>/dev/null | awk '/^Version:/ {print $2}' | sort -rV)"
version=""
for v in $installed $listed; do
  echo "Fetching the mbedtls $v source package"
  if (cd "$work" && apt-get source -qq "mbedtls=$v" >/dev/null 2>&1); then
    version="$v"
    break
  fi
  rm -rf "${work:?}"/*
done
cleanup
[ -n "$version" ] || { echo "no mbedtls source package could be fetched" >&2; exit 3; }

srcdir="$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'mbedtls-*' | head -n 1)"
[ -n "$srcdir" ] || { echo "mbedtls source not unpacked" >&2; exit 1; }

echo "Building libmbedcrypto.a for mips-linux-musl, MIPS32r2 soft-float (make -j$jobs)"
make -C "$srcdir/library" -j"$jobs" libmbedcrypto.a \
  CC="$bin/mips-linux-musl-cc" AR="$bin/mips-linux-musl-ar" \
  CFLAGS="-Os -ffunction-sections -fdata-sections" >/dev/null

rm -rf "$prefix"
mkdir -p "$prefix/lib" "$prefix/include"
cp "$srcdir/library/libmbedcrypto.a" "$prefix/lib/"
cp -r "$srcdir/include/mbedtls" "$prefix/include/"
[ -d "$srcdir/include/psa" ] && cp -r "$srcdir/include/psa" "$prefix/include/"
echo "$version" > "$prefix/VERSION"
rm -rf "$work"
echo "libmbedcrypto $version for mips-linux-musl (MIPS32r2 soft-float) installed"
echo "$prefix"
