#!/usr/bin/env bash
# Line and branch coverage of the library (core/, srg/) and of the tool, from
# clang's source-based coverage over every test, the fuzz corpora replayed among them.
#   scripts/coverage.sh [build-dir]            configure, build, run ctest, report
#   scripts/coverage.sh --report build-dir     report what an instrumented run left
# A build configured elsewhere must have -DKEST_COVERAGE=ON and LLVM_PROFILE_FILE set
# to <build>/profiles/%4m.profraw while its tests ran. Unreached lines of core/ are
# listed, since every one of them needs a reason.
set -euo pipefail
cd "$(dirname "$0")/.."
report_only=false
[ "${1:-}" = --report ] && { report_only=true; shift; }
build=${1:-build/coverage}
scripts/deps.sh all >&2

if ! $report_only; then
  [ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -G Ninja -DKEST_REQUIRE_ALL=ON -DKEST_COVERAGE=ON \
    -DKEST_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
  cmake --build "$build" -j "$(nproc)"
  rm -rf "$build/profiles"
  # The package and bare-build tests build copies of their own, which are not instrumented.
  LLVM_PROFILE_FILE="$PWD/$build/profiles/%4m.profraw" \
    ctest --test-dir "$build" -j "$(nproc)" -E 'packages|bare_build' --output-on-failure >&2
fi

llvm-profdata merge -sparse "$build"/profiles/*.profraw -o "$build/coverage.profdata"
objects=()  # the first binary stands alone, the others follow -object
while IFS= read -r f; do
  ((${#objects[@]})) && objects+=(-object)
  objects+=("$f")
done < <(find "$build" -path "$build/CMakeFiles" -prune -o -type f \( -perm -u+x -o -name '*.so*' \) -print |
  while IFS= read -r f; do [ "$(head -c 4 "$f" | tr -d '\0')" = $'\x7fELF' ] && echo "$f"; done)

summary() {  # name, then source paths: "coverage name: lines N/M (p%), branches N/M (p%)"
  local name=$1
  shift
  llvm-cov export -summary-only -instr-profile="$build/coverage.profdata" "${objects[@]}" "$@" |
    python3 -c '
import json, sys
t = json.load(sys.stdin)["data"][0]["totals"]
part = lambda k: "%d/%d (%.1f%%)" % (t[k]["covered"], t[k]["count"], t[k]["percent"])
print("coverage %s: lines %s, branches %s" % (sys.argv[1], part("lines"), part("branches")))' "$name"
}
summary core/ "$PWD/core"
summary srg/ "$PWD/srg"
summary tools/ "$PWD/tools"

# Lines of core/ that no test reached, as file:line; a line of a template counts as
# reached when any of its instances was.
llvm-cov export -format=lcov -instr-profile="$build/coverage.profdata" "${objects[@]}" "$PWD/core" |
  awk -F'[:,]' '/^SF:/ {f = $2; sub(".*/core/", "core/", f)} /^DA:/ {k = f ":" $2; if (!(k in n)) order[++m] = k; n[k] += $3}
    END {for (i = 1; i <= m; ++i) if (!n[order[i]]) print "  not reached: " order[i]}'
