#!/usr/bin/env bash
# scripts/bench.sh [--quick]: builds the benchmark in Release and runs it as
# root. --quick (under two minutes) skips the 500 MB payload and runs fewer rounds.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build-bench -DCMAKE_BUILD_TYPE=Release -DKESTRUN_BUILD_BENCHMARKS=ON
exec build-bench/bench/kestrun_bench "$@"
