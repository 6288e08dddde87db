#!/usr/bin/env bash
# Soak: the agent against the simulator for at least a simulated day,
# its clock accelerated by libfaketime, with invitations, remote actions,
# GPS, reports and event logs at a steady rate. Prints the memory, descriptor
# and thread curve's start and end and the request totals.
#   scripts/soak.sh [real seconds (600)] [clock rate (150)]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-600}"
rate="${2:-150}"

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target vtclient
export VTCLIENT_BIN="$PWD/build/default/daemon/vtclient"
export PYTHONDONTWRITEBYTECODE=1
exec /usr/bin/python3 scripts/soak_run.py "$seconds" "$rate"
