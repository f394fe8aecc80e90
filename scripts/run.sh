#!/usr/bin/env bash
# Builds the kest tool and runs the main job: a sample srg_sync_msg through encode and
# decode, printed as JSON and compared with the sample it started from.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh >&2
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release --target kest_cli >/dev/null
export PATH="$PWD/build/release/tools:$PATH"

echo '$ kest sample srg_sync_msg | kest encode srg_sync_msg | kest decode srg_sync_msg'
decoded=$(kest sample srg_sync_msg | kest encode srg_sync_msg | kest decode srg_sync_msg)
echo "$decoded"
if [ "$decoded" = "$(kest sample srg_sync_msg)" ]; then
  echo "round trip ok: $(kest sample srg_sync_msg | kest encode srg_sync_msg | wc -c) wire bytes"
else
  echo "round trip FAILED" >&2
  exit 1
fi
