#!/usr/bin/env bash
# The gateway benchmark: builds the gateway, the simulator and the benchmark (the bench preset, in
# build-bench/, as scripts/bench.sh does) and runs it. Arguments go to the benchmark, e.g.
#   scripts/bench-gateway.sh --seconds 20 --ports 16 --baud 38400
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset bench >/dev/null
cmake --build --preset bench --target tarvik_gateway_bench tarvik_gateway tarvik_sim >&2
exec build-bench/bin/tarvik_gateway_bench --sim build-bench/bin/tarvik-sim --gateway build-bench/bin/tarvik-gateway "$@"
