#!/usr/bin/env bash
# Builds the benchmarks (Release, in build-bench/) and runs them against the simulated devices.
# Prints Google Benchmark's table, then a summary with the ratios (the README's figures).
# Extra arguments go to the benchmark program, e.g. --benchmark_filter=Link.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${TARVIK_BENCH_BUILD:-$root/build-bench}"
# clang by default: the same compiler on every run keeps the figures comparable.
export CC="${CC:-clang}" CXX="${CXX:-clang++}"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVIK_BUILD_TESTS=OFF \
      -DTARVIK_BUILD_BENCH=ON >/dev/null
ninja -C "$build" tarvik_bench
exec "$build/bin/tarvik_bench" "$@"
