#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and the demo need.
# Skips apt-get entirely when everything is already there.
set -euo pipefail

packages=(
  build-essential cmake g++ clang libclang-rt-14-dev
  libssl-dev openssl libcurl4-openssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  python3-cryptography faketime
  iproute2 procps shellcheck
  time  # GNU time: a child's peak memory in the fault tests
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
