#!/usr/bin/env bash
# The library under MemorySanitizer for a bounded time: scripts/msan.sh [seconds] (default 60).
# The library and fuzz/msan.cpp are compiled with -fsanitize=memory; the test kit and the
# other targets are not, since Debian's standard library is not instrumented. Seeded with
# every message's corpus, each input prefixed with the byte that picks its message.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=build/msan
scripts/deps.sh all
rm -rf "$build" && mkdir -p "$build/seeds" "$build/corpus"
flags=(-std=c++20 -O1 -g -fsanitize=memory -fsanitize-memory-track-origins -fno-omit-frame-pointer
  -Wall -Wextra -Wpedantic -Werror -I. -Iinclude -fsanitize=fuzzer-no-link)
for src in srg/*.kest.cpp; do
  clang++ "${flags[@]}" -fno-exceptions -fno-rtti -c "$src" -o "$build/$(basename "$src").o" &
done
clang++ "${flags[@]}" -c fuzz/msan.cpp -o "$build/msan.o"
wait
clang++ -fsanitize=memory,fuzzer "$build"/*.o -o "$build/fuzz_msan"
python3 - "$build/seeds" <<'PY'  # each corpus input behind the byte that picks its message
import os, re, sys
names = re.findall(r"^ *X\(([a-z0-9_]+)\)", open("include/srg.kest.h").read(), re.M)
for i, msg in enumerate(names):
    for f in os.listdir(f"fuzz/corpus/{msg}"):
        data = open(f"fuzz/corpus/{msg}/{f}", "rb").read()
        open(f"{sys.argv[1]}/{i}-{f}", "wb").write(bytes([2 * i]) + data)
PY
echo "== fuzz_msan, ${seconds}s"
if ! "$build/fuzz_msan" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 -dict=fuzz/tags.dict \
  -artifact_prefix="$build/" "$build/corpus" "$build/seeds" >"$build/fuzz.log" 2>&1; then
  tail -n 40 "$build/fuzz.log"
  echo "fuzz_msan failed; the input is in $build" >&2
  exit 1
fi
grep -E '^stat::(number_of_executed_units|new_units_added)' "$build/fuzz.log"
