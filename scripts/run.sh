#!/usr/bin/env bash
# Builds the kest tool and runs the main job: a sample srg_sync_msg through encode and
# decode, printed as JSON and compared with the sample it started from. Progress goes
# to standard error.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh tool >&2
echo "== configuring the library and the tool (build/tool)" >&2
cmake --preset tool >/dev/null  # CMakePresets.json: the tool, nothing that needs more than deps.sh tool
echo "== building" >&2
cmake --build build/tool --target kest_cli >&2
export PATH="$PWD/build/tool/tools:$PATH"

echo '$ kest sample srg_sync_msg | kest encode srg_sync_msg | kest decode srg_sync_msg'
decoded=$(kest sample srg_sync_msg | kest encode srg_sync_msg | kest decode srg_sync_msg)
echo "$decoded"
if [ "$decoded" = "$(kest sample srg_sync_msg)" ]; then
  echo "round trip ok: $(kest sample srg_sync_msg | kest encode srg_sync_msg | wc -c) wire bytes"
else
  echo "round trip FAILED" >&2
  exit 1
fi
