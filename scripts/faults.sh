#!/usr/bin/env bash
# scripts/faults.sh [build dir]: as root, fails every call that can fail of a first install, an
# update, a same-version install, an uninstall, a last uninstall and a service pass, in turn,
# each followed by the same command again (tests/e2e/fault_injection_test.cc). Prints each case
# that went wrong and a summary per operation; about a minute and a half here. The normal test suite
# fails only a sample of the calls.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
scripts/build.sh "$dir" -DCMAKE_BUILD_TYPE=Release
KESTRUN_FAULTS=all "$dir/tests/e2e_tests" --gtest_filter='Operations/FaultInjection.*' \
  --gtest_brief=1
