#!/usr/bin/env bash
# System calls per request of the exports, the minimal transaction, the fast link and the minimal
# poll loop: each BM_Calls_* benchmark runs alone under `strace -c`, and the calls of a run of an
# empty benchmark (start-up, the simulator's start, the framework) are taken off. strace follows the calling thread
# only, not the simulator (a child process) nor threads the port component may start.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset bench >/dev/null
cmake --build --preset bench --target tarvik_bench >&2
bin=build-bench/bin/tarvik_bench
out=$(mktemp)
trap 'rm -f "$out"' EXIT
calls() {
  strace -c -o "$out" "$bin" --benchmark_filter="$1" >/dev/null 2>&1
  awk '/ total$/ {print $4}' "$out"
}
base=$(calls 'BM_Calls_Nothing/')
printf '| request | system calls per request |\n|---|---:|\n'
for entry in ExportReadFlow:20 MinimalTransactionReadFlow:20 LinkReadFlow:100 MinimalPollReadFlow:100 \
             ExportReadProcessVariable:6 MinimalTransactionReadProcessVariable:6 \
             LinkReadProcessVariable:30 MinimalPollReadProcessVariable:30; do
  name=${entry%:*} runs=${entry#*:}
  total=$(calls "BM_Calls_${name}/")
  awk -v n="$name" -v t="$total" -v b="$base" -v r="$runs" 'BEGIN { printf "| %s | %.1f |\n", n, (t - b) / r }'
done
