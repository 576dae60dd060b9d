#!/usr/bin/env bash
# Installs the build and test packages that are missing (Debian/Ubuntu, as root).
set -euo pipefail

packages=(cmake ninja-build g++ clang pkg-config libplist-dev libgtest-dev libgmock-dev
          libbenchmark-dev libclang-rt-dev libc++-dev strace valgrind python3)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
