#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time:
#   scripts/fuzz.sh [seconds-per-target [seconds-per-message-for-the-oracle]]   (default 60)
# New inputs go to <build>/corpus/<message>, crashes to <build>/crashes/. The checked-in
# corpora in fuzz/corpus are the seeds. KEST_FUZZ_BUILD picks the build directory
# (default build/fuzz; an existing clang build is reused as it is configured).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
oracle_seconds=${2:-$seconds}
build=${KEST_FUZZ_BUILD:-build/fuzz}
scripts/deps.sh all

[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -G Ninja -DKEST_WERROR=ON -DKEST_REQUIRE_ALL=ON -DKEST_TESTS=OFF -DKEST_TOOLS=OFF -DKEST_BENCH=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" --target kest_fuzz_targets -j "$(nproc)"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mkdir -p "$build/crashes"

# fuzz_one NAME SECONDS SEEDS TARGET [ARGS...]: new inputs in <build>/corpus/NAME.
fuzz_one() {
  local name=$1 secs=$2 seeds=$3 target=$4
  shift 4
  local found="$build/corpus/$name" log="$build/fuzz_$name.log" dict=fuzz/tags.dict
  mkdir -p "$found"
  local dirs=("$found")
  [ -d "$seeds" ] && dirs+=("$seeds")
  [ -f "fuzz/$name.dict" ] && dict=fuzz/$name.dict
  echo "== fuzz_$name, ${secs}s"
  if ! "$target" "$@" -max_total_time="$secs" -timeout=10 -print_final_stats=1 -dict="$dict" \
    -artifact_prefix="$build/crashes/$name-" "${dirs[@]}" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz_$name failed; the input is in $build/crashes" >&2
    exit 1
  fi
  grep -E '^stat::(number_of_executed_units|new_units_added)' "$log"
}

for target in "$build"/fuzz/fuzz_*; do
  name=${target##*/fuzz_}
  case $name in oracle | oracle_own) continue ;; esac
  fuzz_one "$name" "$seconds" "fuzz/corpus/$name" "$target"
done
# The protobuf oracle, message by message, seeded with each message's corpus.
if [ -x "$build/fuzz/fuzz_oracle" ]; then
  for seeds in fuzz/corpus/*; do
    message=${seeds##*/}
    case $message in json | own_proto | oracle_own) continue ;; esac  # not messages of srg.proto
    fuzz_one "oracle_$message" "$oracle_seconds" "$seeds" "$build/fuzz/fuzz_oracle" -message="$message"
  done
fi
# The same oracle over the plugin's messages, the first byte picking one.
if [ -x "$build/fuzz/fuzz_oracle_own" ]; then
  fuzz_one oracle_own "$oracle_seconds" fuzz/corpus/oracle_own "$build/fuzz/fuzz_oracle_own"
fi
