#!/usr/bin/env bash
# Installs what is needed, builds the agent and runs every test.
#   scripts/test.sh            normal build, then the AddressSanitizer+UBSan build
#   scripts/test.sh default    only the normal build
#   scripts/test.sh asan tsan  the named builds
#   scripts/test.sh all        normal, AddressSanitizer+UBSan and ThreadSanitizer builds
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(default asan)
[ "${presets[*]}" = "all" ] && presets=(default asan tsan)

for preset in "${presets[@]}"; do
  echo "=== build and test: $preset ==="
  start=$(date +%s)
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
  echo "=== $preset: $(( $(date +%s) - start )) s ==="
done
