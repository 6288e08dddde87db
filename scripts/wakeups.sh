#!/usr/bin/env bash
# Idle wake-ups of the agent per second, in all and per thread (see wakeups.py).
#   scripts/wakeups.sh [--seconds N] [--keepalive N]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${VTCLIENT_BUILD_DIR:-build/default}
case $build in /*) ;; *) build="$PWD/$build" ;; esac
VTCLIENT_BIN="$build/daemon/vtclient" WGET_HTTPS_BIN="$build/tools/wget_https/wget_https" \
  exec /usr/bin/python3 scripts/wakeups.py "$@"
