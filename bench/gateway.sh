#!/usr/bin/env bash
# The gateway benchmark: builds the gateway, the simulator and the benchmark (Release, in
# build-bench/, as scripts/bench.sh does) and runs it. Arguments go to the benchmark, e.g.
#   bench/gateway.sh --seconds 20 --ports 16 --baud 38400
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${TARVIK_BENCH_BUILD:-$root/build-bench}"
export CC="${CC:-clang}" CXX="${CXX:-clang++}"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVIK_BUILD_TESTS=OFF \
      -DTARVIK_BUILD_BENCH=ON >/dev/null
ninja -C "$build" tarvik_gateway_bench tarvik_gateway tarvik_sim >/dev/null
exec "$build/bin/tarvik_gateway_bench" --sim "$build/bin/tarvik-sim" --gateway "$build/bin/tarvik-gateway" "$@"
