#!/usr/bin/env bash
# Builds and runs the whole test suite as root, step by step:
#   1. the sources macOS shares with Linux, compiled by g++, clang++ and clang++ with libc++
#   2. the normal build (warnings as errors) and its tests, with every call that can fail
#      failed in turn (the suite alone fails a sample; scripts/faults.sh runs only these)
#   3. a clang build with AddressSanitizer, UndefinedBehaviorSanitizer and the
#      fuzz targets, and the same tests under it
#   4. the three fuzz targets, 20 seconds each side by side, from their committed corpora
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
step() { echo; echo "== [$((SECONDS - start))s] $*"; }
jobs=$(nproc)

step "packages"
scripts/setup.sh

step "1/4 shared sources with g++, clang++ and libc++; the fault table's texts"
scripts/clang-check.sh
python3 scripts/mutate.py --check

step "2/4 normal build and tests"
scripts/build.sh build -DCMAKE_BUILD_TYPE=Release
(cd build && KESTRUN_FAULTS=all ctest --output-on-failure -j "$jobs" --timeout 600)

step "3/4 sanitizer build and tests"
CC=clang CXX=clang++ scripts/build.sh build-san -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKESTRUN_SANITIZE=ON -DKESTRUN_FUZZ=ON
(cd build-san && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
   ctest --output-on-failure -j "$jobs" --timeout 900)

step "4/4 fuzz targets"
FUZZ_BUILD=build-san scripts/fuzz.sh 20

step "all tests passed"
