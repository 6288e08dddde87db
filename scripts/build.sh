#!/usr/bin/env bash
# Installs what is needed, builds the agent (normal build) and shows its main job.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default

# The agent's main job, in a sandbox against the simulator (about 75 s; Ctrl-C ends it).
scripts/demo.sh
