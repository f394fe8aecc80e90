#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time:
#   scripts/fuzz.sh [seconds-per-target]      (default 60)
# Inputs the fuzzer finds go to <build>/corpus/<target>, crashes to <build>/crashes/.
# KEST_FUZZ_BUILD picks the build directory (default build/fuzz).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${KEST_FUZZ_BUILD:-build/fuzz}
scripts/deps.sh

cmake -S . -B "$build" -G Ninja -DKEST_WERROR=ON -DKEST_TESTS=OFF -DKEST_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" --target kest_fuzz_targets -j "$(nproc)"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mkdir -p "$build/crashes"
for seeds in fuzz/corpus/*/; do
  target=fuzz_$(basename "$seeds")
  message=${target#fuzz_*code_}
  found="$build/corpus/$(basename "$seeds")"
  mkdir -p "$found"
  dict=()
  [[ $target == fuzz_decode_* ]] && dict=(-dict="fuzz/$message.dict")
  log="$build/$target.log"
  echo "== $target, ${seconds}s"
  if ! "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$build/crashes/$target-" "${dict[@]}" "$found" "$seeds" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "$target failed; the input is in $build/crashes" >&2
    exit 1
  fi
  grep -E '^stat::(number_of_executed_units|new_units_added)' "$log"
done
