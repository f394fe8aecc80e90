#!/usr/bin/env bash
# Runs the benchmark pinned to one core and writes its report into the README:
# median times of repeated runs (interleaved, so a noisy moment hits every case alike),
# ratios against the fastest peer, a chart, callgrind instruction counts (stable where
# times are not), and the size and compile time of each library's generated code
# (bench/codesize.py).
#   [KEST_BENCH_CORE=N] scripts/bench.sh [repetitions]   (pinned to the last core by default)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh all gnuplot-nox python3 util-linux >&2
reps=${1:-7}
out=build/bench
cmake -S . -B "$out" -G Ninja -DKEST_REQUIRE_ALL=ON -DKEST_TESTS=OFF -DKEST_FUZZ=OFF >/dev/null
cmake --build "$out" --target kest_bench >/dev/null
bin=$out/bench/kest_bench
core=${KEST_BENCH_CORE:-$(($(nproc) - 1))}  # a shared host may slow one core: pick another

taskset -c "$core" "$bin" --benchmark_repetitions="$reps" --benchmark_report_aggregates_only=true \
  --benchmark_enable_random_interleaving=true --benchmark_min_time=0.1 --benchmark_format=json --benchmark_out="$out/times.json" >/dev/null

rm -rf "$out/callgrind" && mkdir -p "$out/callgrind"
KEST_BENCH_ITERATIONS=100 valgrind --tool=callgrind --collect-atstart=no \
  --callgrind-out-file="$out/callgrind/cg.out" "$bin" >/dev/null 2>&1

# After the timed runs, so that its compiles do not share the machine with them.
python3 bench/codesize.py "$out/gen/protoc-gen-kest" --lib "$out/libkest.so" --json "$out/codesize.json" >/dev/null

python3 bench/report.py "$out/times.json" "$out/callgrind" bench/results.md bench/chart.svg README.md \
  "$out/codesize.json"
echo "report: bench/results.md, bench/chart.svg, README.md" >&2
