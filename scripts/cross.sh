#!/usr/bin/env bash
# Cross-compiles the library, the tool, the examples and the test suite with Debian's
# cross compilers and runs the tests under qemu-user:
#   scripts/cross.sh TARGET...     TARGET: s390x armhf aarch64 powerpc mips
# s390x, powerpc and mips are big-endian; armhf, powerpc and mips are 32-bit.
# Left out on every target, each for its reason:
#   protobuf comparison  Debian's protobuf is not installed for foreign architectures
#   benchmark            timings under emulation mean nothing, and its peers are not installed either
#   fuzz targets         libFuzzer and the sanitizers are clang's, for this machine only
#   bare_build, packages they build and package for this machine
#   valgrind             it does not run foreign code
set -euo pipefail
cd "$(dirname "$0")/.."
(($#)) || { echo "usage: $0 TARGET... (s390x armhf aarch64 powerpc mips)" >&2; exit 2; }

triplet_of() {
  case $1 in
    s390x) echo "s390x-linux-gnu s390x" ;;
    armhf) echo "arm-linux-gnueabihf arm" ;;
    aarch64) echo "aarch64-linux-gnu aarch64" ;;
    powerpc) echo "powerpc-linux-gnu ppc" ;;
    mips) echo "mips-linux-gnu mips" ;;
    *) echo "unknown target $1" >&2; exit 2 ;;
  esac
}

packages=(googletest qemu-user)
for target in "$@"; do
  read -r triplet _ <<<"$(triplet_of "$target")"
  packages+=("g++-$triplet")
done
scripts/deps.sh all "${packages[@]}"

for target in "$@"; do
  read -r triplet qemu <<<"$(triplet_of "$target")"
  build=build/cross-$target
  echo "== $target ($triplet, under qemu-$qemu)"
  start=$SECONDS
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKEST_WERROR=ON -DKEST_REQUIRE_ALL=ON \
    -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR="$target" \
    -DCMAKE_C_COMPILER="$triplet-gcc" -DCMAKE_CXX_COMPILER="$triplet-g++" \
    -DCMAKE_FIND_ROOT_PATH="/usr/$triplet" -DCMAKE_FIND_ROOT_PATH_MODE_PROGRAM=NEVER \
    -DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY -DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY \
    -DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=ONLY -DCMAKE_CROSSCOMPILING_EMULATOR="qemu-$qemu;-L;/usr/$triplet" \
    -DKEST_GTEST_SOURCES=/usr/src/googletest \
    `# header-only, the same for every architecture` \
    -DCLI11_DIR=/usr/share/cmake/CLI11 \
    -DKEST_COMPAT=OFF -DKEST_BENCH=OFF -DKEST_FUZZ=OFF -DKEST_PLUGIN=OFF >/dev/null
  cmake --build "$build" -j "$(nproc)"
  ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
  echo "== $target: passed in $((SECONDS - start)) s"
done
