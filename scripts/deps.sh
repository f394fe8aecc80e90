#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when any is missing.
set -euo pipefail

packages=(cmake ninja-build g++ clang libclang-rt-14-dev binutils pkg-config libgtest-dev
  libprotobuf-dev protobuf-compiler python3-protobuf
  libcli11-dev nlohmann-json3-dev
  valgrind
  libbenchmark-dev libprotobuf-c-dev protobuf-c-compiler nanopb libnanopb-dev)

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
