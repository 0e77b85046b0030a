#!/usr/bin/env bash
# Builds the libFuzzer targets (the fuzz preset: clang, the library and the targets alone, in
# build-fuzz/) and runs each for a bounded time (seconds, default 30). The seed corpus in
# fuzz/corpus is copied, so runs never change the repository.
#   scripts/fuzz.sh [SECONDS]              builds, then runs
#   scripts/fuzz.sh --build                only builds
#   scripts/fuzz.sh --run [SECONDS]        only runs (the targets built before)
set -euo pipefail
cd "$(dirname "$0")/.."
stage=all
case "${1:-}" in
  --build | --run) stage=${1#--}; shift ;;
esac
seconds=${1:-30}
build=build-fuzz
targets=(fuzz_exports fuzz_text fuzz_gateway_command fuzz_hart_stream fuzz_hartip_stream)
if [ "$stage" != run ]; then
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz --target "${targets[@]}"
fi
[ "$stage" = build ] && exit 0
for target in "${targets[@]}"; do
  work="$build/corpus-$target"
  mkdir -p "$work"
  cp -n fuzz/corpus/$target/* "$work/" 2>/dev/null || true
  echo "== $target for ${seconds}s"
  "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 "$work" 2>&1 |
    grep -E 'stat::number_of_executed_units|Done|ERROR|SUMMARY|crash-' || true
  # libFuzzer exits non-zero and writes crash-* on a finding.
  "$build/fuzz/$target" -runs=0 "$work" >/dev/null 2>&1
done
