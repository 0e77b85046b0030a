#!/usr/bin/env bash
# Builds the benchmarks (Release, in build-bench/) and runs them against the simulated devices.
# Prints Google Benchmark's table, then a summary with the ratios (the README's figures).
# Extra arguments go to the benchmark program, e.g. --benchmark_filter=Link.
set -euo pipefail
build=$("$(dirname "$0")/../bench/build.sh" tarvik_bench)
exec "$build/bin/tarvik_bench" "$@"
