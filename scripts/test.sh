#!/usr/bin/env bash
# Builds and runs the whole test suite as root: the normal build with
# warnings as errors, then the same suite under AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

# The code macOS shares with Linux, compiled by g++, clang++ and clang++ with libc++.
scripts/clang-check.sh

scripts/build.sh build
(cd build && ctest --output-on-failure -j "$(nproc)")

scripts/build.sh build-asan -DKESTRUN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
   ctest --output-on-failure -j "$(nproc)")

# The fuzz targets, a minute each from their committed corpora.
scripts/fuzz.sh 60
