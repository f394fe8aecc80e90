#!/usr/bin/env bash
# Builds and runs every test twice: an optimised g++ build, then a clang build with
# the address and undefined-behaviour sanitizers. Warnings are errors in both. Then
# the g++ test binaries under valgrind, the thread check under ThreadSanitizer, and
# every fuzz target for a short while.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

run_suite() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DKEST_WERROR=ON "$@"
  cmake --build "$dir" -j "$(nproc)"
  ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"
}

run_suite build/release -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The fuzz targets run from scripts/fuzz.sh below, seeds and found faults included.
run_suite build/sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEST_SANITIZE=ON -DKEST_FUZZ=OFF -DKEST_BENCH=OFF \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++

scripts/memcheck.sh build/release

tsan=-fsanitize=thread
cmake -S . -B build/tsan -G Ninja -DKEST_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEST_FUZZ=OFF -DKEST_BENCH=OFF \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_FLAGS=$tsan -DCMAKE_CXX_FLAGS=$tsan \
  -DCMAKE_EXE_LINKER_FLAGS=$tsan -DCMAKE_SHARED_LINKER_FLAGS=$tsan >/dev/null
cmake --build build/tsan --target kest_threads_check -j "$(nproc)"
TSAN_OPTIONS=halt_on_error=1 build/tsan/tests/kest_threads_check

scripts/fuzz.sh 10
