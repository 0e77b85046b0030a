#!/usr/bin/env bash
# The whole test suite, as CI runs it:
#   1. the Linux build and every test (unit, end to end on pseudo-terminals, tools, packages)
#   2. the same tests built with AddressSanitizer and UndefinedBehaviorSanitizer
#   3. the same tests built with ThreadSanitizer (no suppressions), among them the port component's
#      1,000-round open/pump/close stress test
#   4. the end-to-end tests under valgrind memcheck (no errors, no leaks)
#   5. each fuzz target for a bounded time (FUZZ_SECONDS, default 30)
#   6. the Windows leg: both DLLs under Wine
set -euo pipefail
cd "$(dirname "$0")/.."

step() { printf '\n==== %s\n' "$*"; }

scripts/install-deps.sh
jobs=$(nproc)
# The end-to-end tests mostly wait for replies, so they run well in parallel beyond the cores.
test_jobs=$((jobs * 4))

step "Linux build and tests"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build -j"$jobs"
(cd build && ctest -j"$test_jobs" --output-on-failure)

step "Sanitizers (ASan + UBSan)"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARVIK_SANITIZE=ON >/dev/null
ninja -C build-asan -j"$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest -j"$test_jobs" --output-on-failure)

step "ThreadSanitizer"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVIK_TSAN=ON >/dev/null
ninja -C build-tsan -j"$jobs"
# Every test has its own time limit (the suite's 300 s) as in the other builds; a data race or a
# lock-order inversion fails the test that shows it.
(cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest -j"$test_jobs" --output-on-failure)

step "valgrind memcheck on the end-to-end tests"
valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect \
  build/tests/tarvik_tests --gtest_brief=1 \
  --gtest_filter='ReadFlowEndToEnd.*:Faults.*:ComPort.*:*E2e*:*EndToEnd*:*Shared*'

step "Fuzzing"
scripts/fuzz.sh "${FUZZ_SECONDS:-30}"

if [ -x scripts/windows-leg.sh ]; then
  step "Windows leg"
  scripts/windows-leg.sh
  scripts/package-windows.sh   # the zip of both DLLs, its contents checked
fi
step "All tests passed"
