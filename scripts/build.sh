#!/usr/bin/env bash
# Installs what is needed and builds the agent (normal build).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
