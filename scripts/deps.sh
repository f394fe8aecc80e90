#!/usr/bin/env bash
# Installs the Debian packages a job needs, when any is missing.
#   scripts/deps.sh tool|all [extra package...]
# tool: what building the library and the kest tool needs; all: every test as well.
set -euo pipefail

packages=(cmake ninja-build g++ libcli11-dev)
case ${1:-} in
  tool) ;;
  all)
    packages+=(clang libclang-rt-14-dev llvm binutils pkg-config libgtest-dev
      libprotobuf-dev libprotoc-dev protobuf-compiler python3-protobuf
      valgrind lintian xxd time
      libbenchmark-dev libprotobuf-c-dev protobuf-c-compiler nanopb libnanopb-dev) ;;
  *) echo "usage: $0 tool|all [package...]" >&2; exit 2 ;;
esac
shift
packages+=("$@")  # extra packages a script asks for

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
