#!/usr/bin/env bash
# The Windows leg of the tests: builds TarvikDLL.dll for 32-bit and 64-bit Windows with MinGW,
# checks the export and import tables of both, and runs the Windows test programs under Wine
# against COM ports made of socat pseudo-terminal pairs.
#
# Installs MinGW, Wine and socat when they are missing and it runs as root; otherwise it prints what
# to install and skips the leg with a notice (exit 0). Exits non-zero when a build or a test fails.
#
# Environment: WIN_BUILD_PREFIX (default: build-win, giving build-win32 and build-win64),
#              WINDOWS_LEG=skip to skip on purpose.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

notice() { printf '\n*** Windows leg: %s ***\n\n' "$*" >&2; }

if [ "${WINDOWS_LEG:-}" = "skip" ]; then
  notice "SKIPPED (WINDOWS_LEG=skip)"
  exit 0
fi

# ---- tools -------------------------------------------------------------------------------------
packages=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine32:i386 wine64 socat cmake ninja-build)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
    echo "Windows leg: installing ${missing[*]}" >&2
    if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then dpkg --add-architecture i386; fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
  else
    notice "SKIPPED: missing ${missing[*]}
    Install them with:
      sudo dpkg --add-architecture i386 && sudo apt-get update
      sudo apt-get install -y ${missing[*]}"
    exit 0
  fi
fi

# ---- build both DLLs and the test programs ------------------------------------------------------
prefix=${WIN_BUILD_PREFIX:-build-win}
declare -A triplet=([32]=i686-w64-mingw32 [64]=x86_64-w64-mingw32)
for bits in 32 64; do
  dir="$root/$prefix$bits"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-${triplet[$bits]}.cmake" \
        -DTARVIK_BUILD_TOOLS=OFF -DTARVIK_WINE_TESTS=ON >/dev/null
  ninja -C "$dir" -j2
  (cd "$dir" && ctest -R dll_tables --output-on-failure)
done

# ---- a fresh Wine prefix with the test ports ----------------------------------------------------
# Library side COM3 and COM12 (the latter opened as \\.\COM12); the peer plays the device on COM23
# and COM22, the other ends of the pairs. COM5 is /dev/null: listed, but no serial line.
run="$root/${prefix}32/wine-run"
rm -rf "$run"
mkdir -p "$run"
export WINEPREFIX="$run/prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY

pids=()
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
}
trap cleanup EXIT

declare -A pairs=([3]=23 [12]=22)
for com in "${!pairs[@]}"; do
  socat "pty,rawer,link=$run/dll-COM$com" "pty,rawer,link=$run/peer-COM${pairs[$com]}" &
  pids+=($!)
done
for com in "${!pairs[@]}"; do
  for _ in $(seq 100); do
    [ -e "$run/dll-COM$com" ] && [ -e "$run/peer-COM${pairs[$com]}" ] && break
    sleep 0.05
  done
done

timeout 300 wineboot -i >/dev/null 2>&1
ports='HKLM\Software\Wine\Ports'
for com in "${!pairs[@]}"; do
  wine reg add "$ports" /v "COM$com" /d "$run/dll-COM$com" /f >/dev/null
  wine reg add "$ports" /v "COM${pairs[$com]}" /d "$run/peer-COM${pairs[$com]}" /f >/dev/null
done
wine reg add "$ports" /v COM5 /d /dev/null /f >/dev/null
# The ports are created when the Wine server starts: stop it so that the next start sees them.
wineserver -k >/dev/null 2>&1 || true
wineserver -w

export TARVIK_PEER_PORTS="3:COM23,12:COM22" TARVIK_NOT_SERIAL_PORT=5

# ---- the tests ----------------------------------------------------------------------------------
failed=0
for bits in 32 64; do
  dir="$root/$prefix$bits"
  dll=$(winepath -w "$dir/TarvikDLL.dll")
  echo "== $bits-bit: port component ==" >&2
  timeout 300 wine "$dir/tests/wine/tarvik_comport_tests.exe" || failed=1
  echo "== $bits-bit: end-to-end cases through TarvikDLL.dll ==" >&2
  timeout 300 wine "$dir/tests/wine/tarvik_e2e.exe" "$dll" || failed=1
  echo "== $bits-bit: fast link ==" >&2
  timeout 300 wine "$dir/tests/wine/tarvik_link_tests.exe" || failed=1
done

if [ "$failed" -ne 0 ]; then
  notice "FAILED"
  exit 1
fi
notice "passed (both DLLs: export and import tables, port component, end-to-end cases, fast link)"
