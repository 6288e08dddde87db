#!/usr/bin/env bash
# Builds every libFuzzer target (fuzz/*_fuzz.cc, preset "fuzz" in build/fuzz)
# and runs each for a bounded time, then prints executions and crashes per
# target. A target's seeds are fuzz/corpus/<name without _fuzz>/; what the run
# adds goes to build/fuzz/corpus/<name>/, so the repository corpus stays as
# committed. Crash inputs land in build/fuzz/artifacts/<name>/; only those of
# this run are counted.
#   scripts/fuzz.sh [seconds per target] [target ...]   (default 60 s, all targets)
#   VTCLIENT_FUZZ_PRESET=fuzz-mbedtls scripts/fuzz.sh ...   the mbedTLS cipher
#                                    (build/fuzz-mbedtls); default preset "fuzz"
# Exits non-zero when any target crashed.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
shift || true
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for src in fuzz/*_fuzz.cc; do targets+=("$(basename "$src" .cc)"); done
fi

preset="${VTCLIENT_FUZZ_PRESET:-fuzz}"
out="build/$preset"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target "${targets[@]}"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

summary=()
failed=0
for target in "${targets[@]}"; do
  name="${target%_fuzz}"
  work="$out/corpus/$target"
  artifacts="$out/artifacts/$target"
  log="$out/$target.log"
  mkdir -p "$work" "$artifacts"
  stamp="$out/$target.stamp"
  touch "$stamp"
  seeds=()
  [ -d "fuzz/corpus/$name" ] && seeds=("fuzz/corpus/$name")
  echo "=== $target: ${seconds} s ==="
  status=0
  "$out/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$work" "${seeds[@]}" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  [ -z "$runs" ] && runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log" | tail -1)
  crashes=$(find "$artifacts" -type f -newer "$stamp" \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | wc -l)
  if [ "$status" -ne 0 ] && [ "$crashes" -eq 0 ]; then crashes=1; fi
  [ "$crashes" -ne 0 ] && { failed=1; tail -n 30 "$log"; }
  summary+=("$(printf '%-28s %14s executions %4s crashes' "$target" "${runs:-?}" "$crashes")")
done

echo "=== fuzz summary (${seconds} s per target, preset $preset) ==="
printf '%s\n' "${summary[@]}"
exit "$failed"
