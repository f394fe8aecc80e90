#!/usr/bin/env bash
# Writes libkest's records (include/srg.kest.h), field lists and operations (srg/) from
# proto/srg.proto with protoc-gen-kest, built in build/generate; the generated test
# checks that they are what is checked in.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh all
build=build/generate
cmake -S . -B "$build" -G Ninja -DKEST_REQUIRE_ALL=ON -DKEST_TESTS=OFF -DKEST_TOOLS=OFF -DKEST_BENCH=OFF \
  -DKEST_FUZZ=OFF >/dev/null
cmake --build "$build" --target protoc-gen-kest
rm -rf "$build/out" srg && mkdir -p "$build/out" srg
protoc --plugin=protoc-gen-kest="$build/gen/protoc-gen-kest" --kest_out="$build/out" --kest_opt=prefix=kest_,split,speed \
  -I proto proto/srg.proto
mv "$build/out/srg.kest.h" include/
mv "$build/out"/* srg/
git status --short include srg
