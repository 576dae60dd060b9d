#!/usr/bin/env bash
# scripts/race-soak.sh [attempts] [build dir]: the race test of users' plug-in
# folders (tests/race) with many attempts per case, default 20000, and no
# time limit; prints each case's attempts, the user's swaps and root's
# hits. Run as root, on a quiet machine or beside the suite.
set -euo pipefail
cd "$(dirname "$0")/.."
attempts=${1:-20000}
build=${2:-build}
cmake --build "$build" --target unit_tests >/dev/null
KESTRUN_RACE_ATTEMPTS=$attempts "$build/tests/unit_tests" --gtest_filter='UserFolderRace.*' --gtest_brief=1
