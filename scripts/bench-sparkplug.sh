#!/usr/bin/env bash
# The gateway benchmark comparing its ways out (JSON topics, Sparkplug, report by exception) on 16
# simulated ports publishing to mosquitto: CPU per poll and messages per second of each. Arguments
# go to the benchmark, e.g. scripts/bench-sparkplug.sh --seconds 20
set -euo pipefail
exec "$(dirname "$0")/bench-gateway.sh" --sparkplug yes "$@"
