#!/usr/bin/env bash
# The whole test suite, as CI runs it. Every build has warnings as errors (TARVIK_WERROR):
#   1. the README's build ("Building by hand": build/, the `release` preset's tree) by its own
#      commands, and every test (unit, end to end on pseudo-terminals, tools, packages)
#   2. the end-to-end tests of step 1 under valgrind memcheck (no errors, no leaks)
#   3. the asan preset: the same tests with AddressSanitizer and UndefinedBehaviorSanitizer
#   4. the tsan preset: the same tests with ThreadSanitizer (no suppressions), among them the port
#      component's 1,000-round open/pump/close stress test
#   (the tests labelled `long`, real-time scenarios such as the gateway's minute-long broker
#   outage, run in step 1 only: their test presets exclude the label under the sanitizers)
#   5. the fuzz preset: each fuzz target for a bounded time (FUZZ_SECONDS, default 30)
#   6. the Windows leg (mingw32 and mingw64 presets): both DLLs under Wine, and their zip
# The trees are compiled one after the other (each uses every core); then the TSan tests, the
# fuzzing and the Wine tests run side by side, as they mostly wait for replies or take one core.
# At the end a table gives each step's wall and CPU time.
#
#   scripts/test.sh           everything above
#   scripts/test.sh --quick   step 1 alone: the developer's loop (a warm tree rebuilds what changed)
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
case "${1:-}" in
  "") ;;
  --quick) quick=1 ;;
  *) echo "usage: scripts/test.sh [--quick]" >&2; exit 2 ;;
esac

scripts/install-deps.sh
jobs=$(nproc)
# The end-to-end tests mostly wait for replies, so they run well in parallel beyond the cores.
test_jobs=$((jobs * 4))

# ---- step times ----------------------------------------------------------------------------------
records=$(mktemp "${TMPDIR:-/tmp}/tarvik-steps.XXXXXX")
logs=$(mktemp -d "${TMPDIR:-/tmp}/tarvik-logs.XXXXXX")
load_at_start=$(cut -d' ' -f1-3 /proc/loadavg)
TIMEFORMAT='%R %U %S'

# Runs a step (a command or an exported function) in a shell of its own, where a failing command
# ends it whatever the caller's context, and records its wall and CPU time (user + system, its
# child processes included). Returns the step's status.
timed() { # <name> <command...>
  local name=$1 rc times
  shift
  printf '\n==== %s\n' "$name"
  set +e
  { times=$({ time bash -eo pipefail -c '"$@"' step "$@" 1>&4 2>&3; } 2>&1); } 3>&2 4>&1
  rc=$?
  set -e
  printf '%s|%s|%s\n' "$name" "$times" "$rc" >>"$records"
  return "$rc"
}

# A step in the background, its output in a log printed when it is waited for.
background() { # <name> <command...>; sets $! as usual
  local log
  log="$logs/$(tr -c 'A-Za-z0-9\n' - <<<"$1").log"
  timed "$@" >"$log" 2>&1 &
}
wait_for() { # <pid> <name>: prints the step's log, returns its status
  local rc=0 log
  wait "$1" || rc=$?
  log="$logs/$(tr -c 'A-Za-z0-9\n' - <<<"$2").log"
  cat "$log" # from its own heading on
  return "$rc"
}

print_times() {
  local status=$? cpu
  printf '\n==== Step times (load average at the start %s, at the end %s)\n' "$load_at_start" \
    "$(cut -d' ' -f1-3 /proc/loadavg)"
  # Every step's processes were waited for, so the shell's children's times hold them all.
  times >"$records.times" # in this shell: a command substitution would report a subshell's own
  cpu=$(awk 'NR == 2 { for (i = 1; i <= 2; i++) { split($i, t, /[ms]/); s += t[1] * 60 + t[2] } print s }' \
    "$records.times")
  awk -F'|' -v total="$SECONDS" -v cpu="$cpu" '
    BEGIN { printf "%-46s %9s %9s  %s\n", "step", "wall (s)", "CPU (s)", "" }
    { split($2, t, " "); printf "%-46s %9.1f %9.1f  %s\n", $1, t[1], t[2] + t[3], $3 == 0 ? "" : "FAILED" }
    END { printf "%-46s %9.1f %9.1f\n", "total (overlapped steps run side by side)", total, cpu }' "$records"
  rm -rf "$records" "$records.times" "$logs"
  return "$status"
}
trap print_times EXIT

# ---- the steps -----------------------------------------------------------------------------------
readme_build() {
  # The README's commands as written there, with warnings as errors: CI builds this tree once.
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVIK_WERROR=ON >/dev/null
  ninja -C build
}
preset_build() { # <preset>
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j"$jobs"
}
memcheck() {
  valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect \
    build/tests/tarvik_tests --gtest_brief=1 \
    --gtest_filter='ReadFlowEndToEnd.*:Faults.*:ComPort.*:*E2e*:*EndToEnd*:*Shared*'
}
export -f readme_build preset_build memcheck
export jobs

timed "release: the README's build (build/)" readme_build
timed "release: tests" ctest --preset release -j"$test_jobs"
if [ "$quick" -eq 1 ]; then
  printf '\n==== Quick run passed (no sanitizers, valgrind, fuzzing or Windows leg)\n'
  exit 0
fi
timed "valgrind memcheck on the end-to-end tests" memcheck

timed "asan: build (ASan + UBSan)" preset_build asan
timed "asan: tests" ctest --preset asan -j"$test_jobs"

# The remaining trees, each with the cores to itself.
timed "tsan: build" preset_build tsan
timed "fuzz: build" scripts/fuzz.sh --build
timed "windows: build (mingw32, mingw64)" scripts/windows.sh build

# Then what mostly waits, side by side: fuzzing takes one core, Wine and the TSan tests wait for
# replies on pseudo-terminals most of the time.
background "fuzzing (${FUZZ_SECONDS:-30} s a target)" scripts/fuzz.sh --run "${FUZZ_SECONDS:-30}"
fuzz_pid=$!
background "windows: tests under Wine, the zip" scripts/windows.sh test
windows_pid=$!
failed=0
timed "tsan: tests" ctest --preset tsan -j"$test_jobs" || failed=1
wait_for "$fuzz_pid" "fuzzing (${FUZZ_SECONDS:-30} s a target)" || failed=1
wait_for "$windows_pid" "windows: tests under Wine, the zip" || failed=1
[ "$failed" -eq 0 ]
printf '\n==== All tests passed\n'
