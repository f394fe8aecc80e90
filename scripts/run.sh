#!/usr/bin/env bash
# Builds the library and runs the main job: a sample record through encode and decode.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh >&2
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release --target kest_example >/dev/null
exec build/release/kest_example
