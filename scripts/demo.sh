#!/usr/bin/env bash
# A walk through the tarvik tool with simulated instruments: builds the tool and the simulator,
# starts three simulated devices on pseudo-terminals, talks to them the way you would talk to real
# ones, and stops the simulator again. Nothing outside the build directory and a temporary port
# directory is touched.
#
#   scripts/demo.sh             run the whole walk-through
#   BUILD_DIR=out scripts/demo.sh
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -x scripts/install-deps.sh ]; then
  scripts/install-deps.sh
fi

build=${BUILD_DIR:-build}
bold="" plain=""
if [ -t 1 ]; then
  bold=$(tput bold 2>/dev/null || true)
  plain=$(tput sgr0 2>/dev/null || true)
fi

say() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }
note() { printf '   %s\n' "$@"; }
# Shows a command, then runs it. A failing call is part of the story only where the text says so.
run() {
  printf '%s$ %s%s\n' "$bold" "$*" "$plain"
  "$@"
}

say "Building the tool and the simulator (Release, in $build/)"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" --target tarvik_cli tarvik_sim tarvik_gateway -- -j"$(nproc)" >/dev/null
tarvik_bin=$(cd "$build/bin" && pwd)
export PATH="$tarvik_bin:$PATH"

port_dir=$(mktemp -d "${TMPDIR:-/tmp}/tarvik-demo-XXXXXX")
sim_log="$port_dir.log"
sim_pid="" broker_pid="" gateway_pid=""
cleanup() {
  for pid in "$gateway_pid" "$broker_pid"; do
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
      kill -TERM "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
    fi
  done
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill -INT "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$port_dir" "$sim_log"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

say "Starting the simulator: three instruments, each on its own pseudo-terminal"
note "COM3: a HART mass-flow controller at 19200 bit/s" \
     "COM4: a HART pressure transmitter at 9600 bit/s" \
     "COM5: a model 0731 read-out unit (9600 bit/s, 8N1)" \
     "The library finds them as COM<n> links in \$TARVIK_PORT_DIR."
tarvik-sim --dir "$port_dir" --flow 3:19200 --pressure 4:9600 --readout 5 >"$sim_log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do
  grep -q '^ready' "$sim_log" 2>/dev/null && break
  kill -0 "$sim_pid" 2>/dev/null || { cat "$sim_log"; exit 1; }
  sleep 0.05
done
grep -q '^ready' "$sim_log" || { echo "the simulator did not start:"; cat "$sim_log"; exit 1; }
sed 's/^/   /' "$sim_log"
export TARVIK_PORT_DIR="$port_dir"

say "1. Which serial ports are there?"
run tarvik ports

say "2. Which devices answer, and at which rate? (every port, all eight rates)"
note "A device answers only at its own rate and framing, as on a real line; this takes a few seconds."
run tarvik scan --readout

say "3. Identify the flow device: its address, for all further commands"
run tarvik id -p 3 -b 19200
address=$(tarvik id -p 3 -b 19200 | awk '/^address/ {print $2}')
note "The address is $address: device type, then the three identifier bytes."

say "4. Read its tag, descriptor and date"
run tarvik tag -p 3 -b 19200

say "5. Read the flow (the device's primary variable)"
run tarvik flow -p 3 -b 19200 -a "$address"

say "6. Write a set point of 60 % and read it back"
run tarvik setpoint set 60 -p 3 -b 19200 -a "$address"
run tarvik setpoint get -p 3 -b 19200 -a "$address"

say "7. Watch the flow settle toward the new set point (one poll a second)"
note "The flow follows the set point with a lag of about 1.5 s; --csv FILE would log it too."
run tarvik watch flow setpoint -p 3 -b 19200 -a "$address" --count 5 --interval 1

say "8. Test the link to the 0731 read-out unit"
run tarvik unit test -p 5

say "9. Channel 1 of the unit: read the set point, write 42.5, read it back"
run tarvik unit sp 1 -p 5
run tarvik unit sp 1 42.5 --digits 1 -p 5
run tarvik unit sp 1 -p 5

say "10. Read channel 1's process value (it moves toward the new set point)"
sleep 1
run tarvik unit pv 1 -p 5

say "11. When something is wrong, the tool says what and what to try"
note "Asking the flow device at the wrong rate (9600 instead of 19200):"
run tarvik flow -p 3 -b 9600 -a "$address" || note "(exit status $? - 0 only on success)"

say "12. Draw the flow settling after a set point change"
note "Log flow and set point at 60 %, lower the set point to 25 %, log on while the flow follows" \
     "(--chart keeps an SVG of the running watch up to date: reload it in a browser), then draw the" \
     "whole log with tarvik chart."
chart_dir=$(cd "$build" && pwd)
rm -f "$chart_dir/demo-flow.csv"
run tarvik watch flow setpoint -p 3 -b 19200 -a "$address" --count 4 --interval 0.5 \
  --csv "$chart_dir/demo-flow.csv"
run tarvik setpoint set 25 -p 3 -b 19200 -a "$address"
run tarvik watch flow setpoint -p 3 -b 19200 -a "$address" --count 12 --interval 0.5 \
  --csv "$chart_dir/demo-flow.csv" --chart "$chart_dir/demo-flow-live.svg"
run tarvik chart "$chart_dir/demo-flow.csv" -o "$chart_dir/demo-flow.svg" \
  --title "Flow controller on COM3: set point 60 % to 25 %"
note "The chart: $chart_dir/demo-flow.svg (open it in a browser)"

say "13. The gateway: the instruments into MQTT and Prometheus"
note "tarvik-gateway polls through the fast link and publishes every value, retained, to a broker" \
     "(here a local mosquitto on a free loopback port) and serves Prometheus metrics; see docs/gateway.md."
if command -v mosquitto >/dev/null && command -v mosquitto_sub >/dev/null; then
  free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
  mqtt_port=$(free_port)
  metrics_port=$(free_port)
  printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\n' "$mqtt_port" >"$port_dir/broker.conf"
  mosquitto -c "$port_dir/broker.conf" >"$port_dir/broker.log" 2>&1 &
  broker_pid=$!
  cat >"$port_dir/gateway.toml" <<EOF
[mqtt]
port = $mqtt_port
client_id = "gw-demo"

[metrics]
listen = "127.0.0.1:$metrics_port"

[[device]]
name = "mfc1"
kind = "flow"
port = 3
baud = 19200
address = "$address"
interval = 0.5
values = ["flow", "setpoint"]
writable = true

[[device]]
name = "unit"
kind = "readout"
port = 5
channels = [1]
values = ["pv", "sp"]
interval = 1.0
EOF
  sed 's/^/   /' "$port_dir/gateway.toml"
  run tarvik-gateway --config "$port_dir/gateway.toml" --check
  sleep 0.3
  note "Poll every device once, publish, print what went out:"
  run tarvik-gateway --config "$port_dir/gateway.toml" --once
  note "Now running, with set point commands from another MQTT client (250 % is refused):"
  tarvik-gateway --config "$port_dir/gateway.toml" 2>"$port_dir/gateway.log" &
  gateway_pid=$!
  sleep 1.5
  mosquitto_sub -p "$mqtt_port" -t tarvik/mfc1/setpoint/result -v -W 5 -C 2 >"$port_dir/results.txt" &
  sub_pid=$!
  sleep 0.3
  run mosquitto_pub -p "$mqtt_port" -t tarvik/mfc1/setpoint/set -m 35
  run mosquitto_pub -p "$mqtt_port" -t tarvik/mfc1/setpoint/set -m 250
  wait "$sub_pid" || true
  note "The answers on tarvik/mfc1/setpoint/result:"
  sed 's/^/   /' "$port_dir/results.txt"
  sleep 1
  note "The retained values a new subscriber gets at once:"
  run mosquitto_sub -p "$mqtt_port" -t 'tarvik/+/+' -v -W 2 -C 6 || true
  note "The Prometheus metrics (what a scrape of http://127.0.0.1:$metrics_port/metrics gets):"
  python3 -c "import urllib.request, sys; sys.stdout.write(urllib.request.urlopen(sys.argv[1]).read().decode())" \
    "http://127.0.0.1:$metrics_port/metrics" | grep -E '^tarvik_(value|device_up|mqtt_connected)' | sed 's/^/   /'
  kill -TERM "$gateway_pid"
  wait "$gateway_pid" || true
  gateway_pid=""
  note "On SIGTERM the gateway published offline for each device and itself:"
  run mosquitto_sub -p "$mqtt_port" -t 'tarvik/+/status' -v -W 2 -C 3 || true
  kill -TERM "$broker_pid"
  wait "$broker_pid" 2>/dev/null || true
  broker_pid=""
else
  note "(mosquitto is not installed: scripts/install-deps.sh installs it; step skipped)"
fi

say "Stopping the simulator"
kill -INT "$sim_pid"
wait "$sim_pid" || true
sim_pid=""
tail -n 1 "$sim_log" | sed 's/^/   /'
note "Done. The chart of step 12 is $chart_dir/demo-flow.svg" \
     "Try it yourself:" \
     "  $build/bin/tarvik-sim --dir /tmp/ports      (in one terminal)" \
     "  export TARVIK_PORT_DIR=/tmp/ports; $build/bin/tarvik scan   (in another)" \
     "  $build/bin/tarvik --help"
