#!/usr/bin/env bash
# Configures the benchmark tree (Release, in build-bench/ or TARVIK_BENCH_BUILD), builds the given
# targets and prints the tree's path. clang by default: the same compiler on every run keeps the
# figures comparable.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${TARVIK_BENCH_BUILD:-$root/build-bench}"
export CC="${CC:-clang}" CXX="${CXX:-clang++}"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVIK_BUILD_TESTS=OFF \
      -DTARVIK_BUILD_BENCH=ON >/dev/null
ninja -C "$build" "$@" >&2
echo "$build"
