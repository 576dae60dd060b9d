#!/usr/bin/env bash
# scripts/fuzz.sh [seconds per target, default 60]: builds the libFuzzer
# targets with clang in build-fuzz and runs each for that long, starting from
# its committed seed corpus in fuzz/corpus/<name>/. New inputs go to a
# throwaway folder, so the committed corpus never changes. An input that
# crashes or breaks a check is saved under build-fuzz/artifacts/<name>/ and
# makes the script exit non-zero.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
if ! [[ $seconds =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: scripts/fuzz.sh [seconds per target]" >&2
  exit 2
fi
scripts/setup.sh

# FUZZ_BUILD names a build folder configured with -DKESTRUN_FUZZ=ON to reuse.
build=${FUZZ_BUILD:-build-fuzz}
if [[ -z ${FUZZ_BUILD:-} ]]; then
  CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DKESTRUN_WERROR=ON -DKESTRUN_FUZZ=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target fuzzers

work=$(mktemp -d /tmp/kestrun-fuzz-XXXXXX)
trap 'rm -rf "$work"' EXIT
targets=(installer_db modules_patcher command_line)
# All targets at once: each runs its own time, side by side.
declare -A pids
for name in "${targets[@]}"; do
  mkdir -p "$work/$name" "$build/artifacts/$name"
  "$build/fuzz/${name}_fuzzer" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$name/" "$work/$name" "fuzz/corpus/$name" \
    >"$work/$name.log" 2>&1 &
  pids[$name]=$!
done
echo "== ${targets[*]}: ${seconds}s each, side by side"
failed=()
for name in "${targets[@]}"; do
  artifacts=$build/artifacts/$name
  log=$work/$name.log
  if wait "${pids[$name]}"; then
    echo "== ${name}_fuzzer"
    grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$log" || true
    echo "   corpus: $(find "fuzz/corpus/$name" -type f | wc -l) committed seeds," \
         "$(find "$work/$name" -type f | wc -l) new inputs (discarded)"
  else
    echo "FAILED ${name}_fuzzer; reproducer(s) in $artifacts:"
    ls "$artifacts"
    tail -n 60 "$log"
    failed+=("$name")
  fi
done

if ((${#failed[@]})); then
  echo "fuzz: ${#failed[@]} of ${#targets[@]} targets failed: ${failed[*]}"
  exit 1
fi
echo "fuzz: all ${#targets[@]} targets ran ${seconds}s each without a finding"
