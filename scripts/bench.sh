#!/usr/bin/env bash
# Builds the benchmark programs (preset "bench", build/bench) and runs each
# bench/*_bench.cc program. Within a program, a benchmark whose name starts
# with BM_Baseline is the yardstick: every other benchmark of that program is
# also shown as a ratio to it (median CPU time: the machine is shared, so wall
# time mostly measures the neighbours), with the range of the ratios of the six
# interleaved repetitions. channel_client_bench measures the
# channel client against its own floor in paired rounds and prints its
# figures. The load average is printed before and after each program.
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
if [[ " ${programs[*]} " == *" codec_bench "* ]]; then
  cmake --preset mbedtls >/dev/null
  cmake --build --preset mbedtls --target codec_bench
fi

runs=()
for program in "${programs[@]}"; do
  runs+=("bench $program")
  [ "$program" = codec_bench ] && runs+=("mbedtls $program")
done
for run in "${runs[@]}"; do
  read -r build program <<<"$run"
  json="build/$build/$program.json"
  echo "=== $program ($build) === load average $(cut -d' ' -f1-3 /proc/loadavg)"
  if [ "$program" = channel_client_bench ]; then
    # Not a Google Benchmark program: it prints its own figures and floors.
    "build/$build/bench/$program"
  else
    "build/$build/bench/$program" --benchmark_repetitions=6 --benchmark_enable_random_interleaving=true \
      --benchmark_display_aggregates_only=true \
      --benchmark_out="$json" --benchmark_out_format=json
    /usr/bin/python3 - "$json" <<'PY'
import json, sys
runs = json.load(open(sys.argv[1]))["benchmarks"]
cpu = lambda b: b["cpu_time"] * {"ns": 1, "us": 1e3, "ms": 1e6}[b["time_unit"]]
ns = {b["run_name"]: cpu(b) for b in runs if b.get("aggregate_name") == "median"}
reps = {}  # repetition index -> name -> CPU time: the repetitions run interleaved, so index i pairs them
for b in runs:
    if b["run_type"] == "iteration": reps.setdefault(b["repetition_index"], {})[b["run_name"]] = cpu(b)
base = [n for n in ns if n.startswith("BM_Baseline")]
for name, value in ns.items():
    line = "%-40s %10.1f ns" % (name, value)
    if base and name not in base:
        own = [b for b in base if "_" in b[3:] and name.endswith(b[b.rindex("_"):])]
        floor = (own or base)[0]
        pairs = sorted(r[name] / r[floor] for r in reps.values())
        line += "   %.2f x %s (repetitions %.2f-%.2f)" % (value / ns[floor], floor, pairs[0], pairs[-1])
    print(line)
PY
  fi
  echo "load average $(cut -d' ' -f1-3 /proc/loadavg)"
done
