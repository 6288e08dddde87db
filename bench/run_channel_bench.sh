#!/usr/bin/env bash
# Channel client benchmark: CPU per rejected datagram and request latency
# under a garbage flood, each beside a floor measured in the same run (about
# two minutes). Builds the bench preset first.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset bench >/dev/null
cmake --build --preset bench --target channel_client_bench wget_https
build/bench/bench/channel_client_bench
