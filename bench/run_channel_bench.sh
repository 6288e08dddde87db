#!/usr/bin/env bash
# Channel client benchmark: reply latency and flood handling against the
# simulator on loopback (about half a minute). Builds the bench preset first.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset bench >/dev/null
cmake --build --preset bench --target channel_client_bench wget_https
build/bench/bench/channel_client_bench
