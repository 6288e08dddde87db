#!/usr/bin/env bash
# The sanitizer round: the whole test suite built and run under
# AddressSanitizer+UBSan and under ThreadSanitizer, one after the other.
# Prints how long each build and the round took.
#   scripts/sanitizers.sh            both
#   scripts/sanitizers.sh tsan       only the named ones
set -euo pipefail
cd "$(dirname "$0")/.."

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(asan tsan)

# A sanitizer report is a failure, never a warning to scroll past: ASan and
# UBSan stop the process, and a process with ThreadSanitizer reports exits
# non-zero (the agent's own tests scan its standard error). ThreadSanitizer
# does not stop at the first report, since libfaketime's waits, used by the
# clock tests, look to it like double locks.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-second_deadlock_stack=1}"

start=$(date +%s)
scripts/test.sh "${presets[@]}"
echo "=== sanitizer round (${presets[*]}): $(( $(date +%s) - start )) s ==="
