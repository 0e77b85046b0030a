#!/usr/bin/env bash
# Builds the benchmarks (the bench preset: Release with clang, in build-bench/) and runs them
# against the simulated devices. Prints Google Benchmark's table, then a summary with the ratios
# (the README's figures). Extra arguments go to the benchmark program, e.g. --benchmark_filter=Link.
# The gateway's benchmark is scripts/bench-gateway.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset bench >/dev/null
cmake --build --preset bench --target tarvik_bench >&2
exec build-bench/bin/tarvik_bench "$@"
