#!/usr/bin/env bash
# The gateway benchmark: builds the gateway, the simulator and the benchmark (Release, in
# build-bench/, as scripts/bench.sh does) and runs it. Arguments go to the benchmark, e.g.
#   bench/gateway.sh --seconds 20 --ports 16 --baud 38400
set -euo pipefail
build=$("$(dirname "$0")/build.sh" tarvik_gateway_bench tarvik_gateway tarvik_sim)
exec "$build/bin/tarvik_gateway_bench" --sim "$build/bin/tarvik-sim" --gateway "$build/bin/tarvik-gateway" "$@"
