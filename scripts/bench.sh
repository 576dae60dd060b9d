#!/usr/bin/env bash
# scripts/bench.sh: builds the benchmarks (Release, build-h4 unless BENCH_BUILD
# names another folder) and runs them all in one go, as root:
#   1. the service pass in process: medians of wall and CPU time per pass,
#      2 users in the steady state, then 1/10/100 users with the clients
#      present or missing, with the ratios;
#   2. system calls per pass, counted with strace -c on this process only (the
#      launchctl children are not traced): the difference between two runs
#      of different lengths, divided by the difference in passes;
#   3. resident memory after 1, 1,000 and 10,000 whole passes;
#   4. the full install of a generated payload against cp -a + chown -R 0:0,
#      the reference-only install and the uninstalls, in the sandbox, with
#      strace -f -c of each side.
# BENCH_RSS_PASSES (default 10000) shortens step 3 for a quick look.
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ $(id -u) -ne 0 ]]; then
  echo "bench: run as root (the sandbox and the per-user work need it)" >&2
  exit 1
fi
scripts/setup.sh

build=${BENCH_BUILD:-build-h4}
rss_passes=${BENCH_RSS_PASSES:-10000}
# -O2: g++ 12 at -O3 reports a false -Wrestrict in std::string code, which
# the warnings-as-errors build would stop at.
cmake -S . -B "$build" -G Ninja -DKESTRUN_WERROR=ON -DKESTRUN_BUILD_BENCHMARKS=ON \
  -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" >/dev/null
cmake --build "$build" -j "$(nproc)" --target benchmarks
bench=$build/bench

echo "== Machine: $(nproc) cores, $(uname -sr), load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "== Commit: $(git rev-parse --short HEAD 2>/dev/null || echo unknown)$(git diff --quiet 2>/dev/null || echo ' (with local changes)')"

echo
echo "== 1. Service pass, in process"
"$bench/kestrun_pass_bench" --benchmark_color=false

# strace -c counts of the calls made by the driver itself.
syscalls_per_pass() {
  local worker=$1 short=$2 long=$3 users=$4 clients=$5
  local dir
  dir=$(mktemp -d)
  for passes in "$short" "$long"; do
    strace -c -o "$dir/$passes" "$bench/kestrun_pass_driver" --worker "$worker" \
      --passes "$passes" --users "$users" --clients "$clients" >/dev/null
  done
  awk -v span=$((long - short)) -v label="$worker, $users users, clients $clients" '
    function calls(line,   n, f) { n = split(line, f); return f[4] }
    function name(line,   n, f) { n = split(line, f); return f[n] }
    /^ *[0-9.]+ +[0-9.]+ +[0-9]+ +[0-9]+/ {
      if (FILENAME == ARGV[1]) before[name($0)] = calls($0); else after[name($0)] = calls($0)
    }
    END {
      total = (after["total"] - before["total"]) / span
      printf "  %-36s %8.1f calls per pass:", label, total
      n = 0
      for (s in after) if (s != "total") { d = (after[s] - before[s]) / span; if (d >= 0.5) list[++n] = sprintf("%s %.1f", s, d) }
      # Busiest first.
      for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) {
        split(list[i], a, " "); split(list[j], b, " ")
        if (b[2] + 0 > a[2] + 0) { t = list[i]; list[i] = list[j]; list[j] = t }
      }
      for (i = 1; i <= n; i++) printf "%s %s", (i == 1 ? "" : ","), list[i]
      printf "\n"
    }' "$dir/$short" "$dir/$long"
  rm -rf "$dir"
}

echo
echo "== 2. System calls per pass (strace -c, this process only)"
syscalls_per_pass links 100 1100 2 present
syscalls_per_pass agent 10 110 2 present
syscalls_per_pass both 10 110 2 present
syscalls_per_pass links 20 120 100 present
syscalls_per_pass links 100 1100 2 missing

echo
echo "== 3. Resident memory over whole passes (2 users, clients present)"
checkpoints=1
((rss_passes >= 1000)) && checkpoints+=",1000"
((rss_passes != 1 && rss_passes != 1000)) && checkpoints+=",$rss_passes"
start=$(date +%s)
"$bench/kestrun_pass_driver" --worker both --users 2 --passes "$rss_passes" --rss-at "$checkpoints" |
  sed 's/^/  /'
echo "  ($rss_passes passes in $(($(date +%s) - start)) s)"

echo
echo "== 4. Install against cp -a + chown -R 0:0, in the sandbox"
"$bench/kestrun_install_bench" --reps 9 --strace
