#!/usr/bin/env bash
# Runs every test binary of a finished build under valgrind memcheck; any error or
# leak fails:  scripts/memcheck.sh [build-dir]    (default build/release)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
scripts/deps.sh all

mapfile -t binaries < <(find "$build/tests" -maxdepth 1 -type f -executable -name 'kest_*' | sort)
((${#binaries[@]})) || { echo "no test binaries in $build/tests" >&2; exit 1; }
for bin in "${binaries[@]}"; do
  log="$bin.memcheck.log"
  echo "== valgrind $(basename "$bin")"
  if ! valgrind -q --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect \
    "$bin" >"$log" 2>&1; then
    tail -n 60 "$log"
    exit 1
  fi
done
