#!/usr/bin/env bash
# Builds the benchmark programs (preset "bench", build/bench) and runs each
# bench/*_bench.cc program. Within a program, a benchmark whose name starts
# with BM_Baseline is the yardstick: every other benchmark of that program is
# also shown as a ratio to it (median CPU time: the machine is shared, so wall
# time mostly measures the neighbours). channel_client_bench measures the
# channel under a flood against its own floor and prints its figures.
#   scripts/bench.sh [program ...]     (default: all programs)
set -euo pipefail
cd "$(dirname "$0")/.."
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}"

programs=("$@")
if [ ${#programs[@]} -eq 0 ]; then
  for src in bench/*_bench.cc; do programs+=("$(basename "$src" .cc)"); done
fi

cmake --preset bench >/dev/null
cmake --build --preset bench --target "${programs[@]}"

for program in "${programs[@]}"; do
  json="build/bench/$program.json"
  echo "=== $program ==="
  if [ "$program" = channel_client_bench ]; then
    # Not a Google Benchmark program: it prints its own figures and floors.
    "build/bench/bench/$program"
    continue
  fi
  "build/bench/bench/$program" --benchmark_repetitions=6 --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true \
    --benchmark_out="$json" --benchmark_out_format=json
  /usr/bin/python3 - "$json" <<'PY'
import json, sys
runs = [b for b in json.load(open(sys.argv[1]))["benchmarks"] if b.get("aggregate_name") == "median"]
ns = {b["run_name"]: b["cpu_time"] * {"ns": 1, "us": 1e3, "ms": 1e6}[b["time_unit"]] for b in runs}
base = [n for n in ns if n.startswith("BM_Baseline")]
for name, value in ns.items():
    line = "%-40s %10.1f ns" % (name, value)
    if base and name not in base:
        line += "   %.2f x %s" % (value / ns[base[0]], base[0])
    print(line)
PY
done
