#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time:
#   scripts/fuzz.sh [seconds-per-target]      (default 60)
# New inputs go to <build>/corpus/<message>, crashes to <build>/crashes/. The checked-in
# corpora in fuzz/corpus are the seeds. KEST_FUZZ_BUILD picks the build directory
# (default build/fuzz; an existing clang build is reused as it is configured).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${KEST_FUZZ_BUILD:-build/fuzz}
scripts/deps.sh all

[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -G Ninja -DKEST_WERROR=ON -DKEST_REQUIRE_ALL=ON -DKEST_TESTS=OFF -DKEST_TOOLS=OFF -DKEST_BENCH=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" --target kest_fuzz_targets -j "$(nproc)"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mkdir -p "$build/crashes"
for target in "$build"/fuzz/fuzz_*; do
  message=${target##*/fuzz_}
  found="$build/corpus/$message"
  log="$build/fuzz_$message.log"
  mkdir -p "$found"
  seeds=()
  [ -d "fuzz/corpus/$message" ] && seeds=("fuzz/corpus/$message")
  dict=fuzz/tags.dict
  [ -f "fuzz/$message.dict" ] && dict=fuzz/$message.dict
  echo "== fuzz_$message, ${seconds}s"
  if ! "$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 -dict="$dict" \
    -artifact_prefix="$build/crashes/$message-" "$found" "${seeds[@]}" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz_$message failed; the input is in $build/crashes" >&2
    exit 1
  fi
  grep -E '^stat::(number_of_executed_units|new_units_added)' "$log"
done
