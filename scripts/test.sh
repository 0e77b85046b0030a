#!/usr/bin/env bash
# The whole test suite, as CI runs it. Every build is a preset of CMakePresets.json, with warnings
# as errors (TARVIK_WERROR):
#   1. the release preset and every test (unit, end to end on pseudo-terminals, tools, packages)
#   2. the README's own build, by its exact commands (configure and build)
#   3. the asan preset: the same tests with AddressSanitizer and UndefinedBehaviorSanitizer
#   4. the tsan preset: the same tests with ThreadSanitizer (no suppressions), among them the port
#      component's 1,000-round open/pump/close stress test
#   (the tests labelled `long`, real-time scenarios such as the gateway's minute-long broker
#   outage, run in step 1 only: their test presets exclude the label under the sanitizers)
#   5. the end-to-end tests of step 1 under valgrind memcheck (no errors, no leaks)
#   6. the fuzz preset: each fuzz target for a bounded time (FUZZ_SECONDS, default 30)
#   7. the Windows leg (mingw32 and mingw64 presets): both DLLs under Wine, and their zip
set -euo pipefail
cd "$(dirname "$0")/.."

step() { printf '\n==== %s\n' "$*"; }

scripts/install-deps.sh
jobs=$(nproc)
# The end-to-end tests mostly wait for replies, so they run well in parallel beyond the cores.
test_jobs=$((jobs * 4))

build_and_test() { # <preset>
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j"$jobs"
  ctest --preset "$1" -j"$test_jobs"
}

step "Linux build and tests (release)"
build_and_test release

step "The README's build, as written there"
# Warnings are not errors here (a user's compiler may differ from CI's); the release preset above
# builds the same with -Werror.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C build

step "Sanitizers (ASan + UBSan)"
build_and_test asan

step "ThreadSanitizer"
# Every test has its own time limit (the suite's 300 s) as in the other builds; a data race or a
# lock-order inversion fails the test that shows it.
build_and_test tsan

step "valgrind memcheck on the end-to-end tests"
valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect \
  build-release/tests/tarvik_tests --gtest_brief=1 \
  --gtest_filter='ReadFlowEndToEnd.*:Faults.*:ComPort.*:*E2e*:*EndToEnd*:*Shared*'

step "Fuzzing"
scripts/fuzz.sh "${FUZZ_SECONDS:-30}"

step "Windows leg"
scripts/windows.sh
step "All tests passed"
