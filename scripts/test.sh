#!/usr/bin/env bash
# Builds and runs every test twice: an optimised g++ build with CMake's default
# generator (what a plain `cmake -S . -B build` gets), which also builds the
# Debian packages and uses them, then a clang build with the address and
# undefined-behaviour sanitizers, which also replays every fuzz corpus and counts
# coverage. Warnings are errors and a part that cannot be built is an error in both.
# Then the test binaries of the first under valgrind, every fuzz target for a short
# while (the protobuf oracle 15 s per message), the library under MemorySanitizer for
# 30 s, the coverage summary, and the tests
# cross-compiled for a big-endian 64-bit, a 32-bit and a big-endian 32-bit target
# under qemu.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh all

# run_suite DIR GENERATOR [cmake argument...]; an empty GENERATOR is CMake's default,
# what a plain `cmake -S . -B build` gets.
run_suite() {
  local dir=$1 generator=$2 fresh=()
  shift 2
  # A tree configured with another generator cannot be reused.
  if [ -f "$dir/CMakeCache.txt" ] && ! grep -qx "CMAKE_GENERATOR:INTERNAL=${generator:-Unix Makefiles}" "$dir/CMakeCache.txt"; then
    fresh=(--fresh)
  fi
  cmake "${fresh[@]}" -S . -B "$dir" ${generator:+-G "$generator"} -DKEST_WERROR=ON -DKEST_REQUIRE_ALL=ON "$@"
  cmake --build "$dir" -j "$(nproc)"
  ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"
}

run_suite build/release "" -DCMAKE_BUILD_TYPE=Release -DKEST_FUZZ=OFF -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
rm -rf build/sanitize/profiles
export LLVM_PROFILE_FILE=$PWD/build/sanitize/profiles/%4m.profraw
run_suite build/sanitize Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEST_SANITIZE=ON -DKEST_COVERAGE=ON -DKEST_BENCH=OFF \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++

scripts/memcheck.sh build/release
KEST_FUZZ_BUILD=build/sanitize scripts/fuzz.sh 10 15
scripts/msan.sh 30
unset LLVM_PROFILE_FILE
scripts/coverage.sh --report build/sanitize
scripts/conformance.sh
scripts/cross.sh s390x armhf powerpc
