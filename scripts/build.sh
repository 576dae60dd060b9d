#!/usr/bin/env bash
# scripts/build.sh <build dir> [cmake options...]: configures and builds.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$1
shift
cmake -S . -B "$dir" -G Ninja -DKESTRUN_WERROR=ON "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
