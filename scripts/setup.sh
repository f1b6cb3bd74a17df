#!/usr/bin/env bash
# Installs what the builds need on Debian 12 (as root), only what is missing.
set -euo pipefail

packages=(
  cmake make g++ g++-multilib dpkg-dev
  g++-mingw-w64-i686 binutils-mingw-w64-i686
  libgtest-dev:i386 libgmock-dev:i386 libbenchmark-dev:i386
  nlohmann-json3-dev
  clang libclang-rt-14-dev lld llvm
  valgrind libc6-dbg:i386
  gnuplot-nox
  tgt libiscsi-dev:i386 libiscsi-bin xorriso
  jq
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
