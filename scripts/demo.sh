#!/usr/bin/env bash
# Runs the agent's main job in a sandbox against the simulator (see demo.py).
#   scripts/demo.sh [--seconds N] [--keep]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${VTCLIENT_BUILD_DIR:-build/default}
exec /usr/bin/python3 scripts/demo.py --vtclient "$build/daemon/vtclient" \
  --wget-https "$build/tools/wget_https/wget_https" "$@"
