#!/usr/bin/env bash
# The whole test suite: Linux build and tests, then the Windows leg (both DLLs under Wine).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$build" -j"$(nproc)"
(cd "$build" && ctest -j"$(nproc)" --output-on-failure)

if [ -x scripts/windows-leg.sh ]; then
  scripts/windows-leg.sh
fi
