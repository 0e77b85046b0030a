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
cmake --build "$build" --target tarvik_cli tarvik_sim -- -j"$(nproc)" >/dev/null
tarvik_bin=$(cd "$build/bin" && pwd)
export PATH="$tarvik_bin:$PATH"

port_dir=$(mktemp -d "${TMPDIR:-/tmp}/tarvik-demo-XXXXXX")
sim_log="$port_dir.log"
sim_pid=""
cleanup() {
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
