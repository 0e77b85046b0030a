#!/usr/bin/env bash
# The Windows leg: builds TarvikDLL.dll and tarvik.exe for 32-bit and 64-bit Windows with MinGW
# (the mingw32 and mingw64 presets, in build-mingw32/ and build-mingw64/), checks the export and
# import tables and the version resource of both DLLs, runs the Windows test programs under Wine
# against COM ports made of socat pseudo-terminal pairs, smoke-tests tarvik.exe, and puts both
# builds into one zip whose contents it checks:
#   TarvikDLL-<version>-windows/x86/{bin,lib,include,...}   32-bit DLL, .def, import libraries, header
#   TarvikDLL-<version>-windows/x64/...                      the same for 64-bit
# The zip goes to $OUT (default: build-packages/ in the source tree).
#
# Installs MinGW, Wine and socat when they are missing and it runs as root; otherwise it prints what
# to install and skips the leg with a notice (exit 0). Exits non-zero when a build or a test fails.
# WINDOWS_LEG=skip skips it on purpose.
#
#   scripts/windows.sh         builds, tests and packages
#   scripts/windows.sh build   only builds both trees (CI builds them while nothing else compiles)
#   scripts/windows.sh test    tests and packages the trees built before
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
stage=${1:-all}
case "$stage" in
  all | build | test) ;;
  *) echo "usage: scripts/windows.sh [build|test]" >&2; exit 2 ;;
esac

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

# ---- build both DLLs, the test programs and tarvik.exe ------------------------------------------
# The DLL's version resource, read back with windres: file and product version as the project's
# version, and a description.
version=$(sed -n 's/^project(Tarvik VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
check_version_resource() { # <dll> <triplet>
  local rc
  rc=$("$2-windres" -i "$1" -J coff -O rc)
  local v=${version//./, }
  if grep -q "FILEVERSION $v, 0" <<<"$rc" && grep -q "PRODUCTVERSION $v, 0" <<<"$rc" &&
     grep -q "VALUE \"FileVersion\", \"$version\"" <<<"$rc" &&
     grep -q "VALUE \"ProductVersion\", \"$version\"" <<<"$rc" &&
     grep -q 'VALUE "FileDescription", "Tarvik' <<<"$rc"; then
    echo "$(basename "$1") ($2): version resource $version: ok" >&2
  else
    printf '%s (%s): no version resource %s with a description in:\n%s\n' "$1" "$2" "$version" "$rc" >&2
    exit 1
  fi
}
declare -A triplet=([32]=i686-w64-mingw32 [64]=x86_64-w64-mingw32)
# tarvik.exe needs the tools' header-only libraries (Debian: libcli11-dev libfmt-dev
# nlohmann-json3-dev); without them the DLLs are built, tested and packaged alone.
with_tool=1
if [ ! -d /usr/include/CLI ] || [ ! -d /usr/include/fmt ] || [ ! -d /usr/include/nlohmann ]; then
  echo "Windows leg: no CLI11/fmt/nlohmann-json headers in /usr/include: tarvik.exe is not built" >&2
  with_tool=0
fi
for bits in 32 64; do
  [ "$stage" = test ] && break
  dir="$root/build-mingw$bits"
  if [ "$with_tool" -eq 1 ]; then
    cmake --preset "mingw$bits" >/dev/null
  else
    cmake --preset "mingw$bits" -DTARVIK_BUILD_TOOLS=OFF >/dev/null
  fi
  cmake --build --preset "mingw$bits" -j2
  ctest --test-dir "$dir" -R dll_tables --output-on-failure
  check_version_resource "$dir/TarvikDLL.dll" "${triplet[$bits]}"
done
if [ "$stage" = build ]; then
  echo "windows: both trees built (scripts/windows.sh test runs the tests)" >&2
  exit 0
fi
for bits in 32 64; do
  [ -f "$root/build-mingw$bits/TarvikDLL.dll" ] || { echo "windows: build-mingw$bits is not built" >&2; exit 1; }
done

# ---- a fresh Wine prefix with the test ports ----------------------------------------------------
# Library side COM3 and COM12 (the latter opened as \\.\COM12); the peer plays the device on COM23
# and COM22, the other ends of the pairs. COM5 is /dev/null: listed, but no serial line.
run="$root/build-mingw32/wine-run"
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
  dir="$root/build-mingw$bits"
  dll=$(winepath -w "$dir/TarvikDLL.dll")
  echo "== $bits-bit: port component ==" >&2
  timeout 300 wine "$dir/tests/wine/tarvik_comport_tests.exe" || failed=1
  echo "== $bits-bit: end-to-end cases through TarvikDLL.dll ==" >&2
  timeout 300 wine "$dir/tests/wine/tarvik_e2e.exe" "$dll" || failed=1
  echo "== $bits-bit: fast link ==" >&2
  timeout 300 wine "$dir/tests/wine/tarvik_link_tests.exe" || failed=1
done

# ---- tarvik.exe: help, a result code, and a flow reading from a device on the Linux side --------
cli="$root/build-mingw32/bin/tarvik.exe"
if [ "$with_tool" -eq 1 ]; then
  echo "== 32-bit: tarvik.exe ==" >&2
  cp "$root/build-mingw32/TarvikDLL.dll" "$(dirname "$cli")/"
  smoke() { # <what> <pattern the output must contain> <arguments...>
    local what=$1 pattern=$2 out
    shift 2
    out=$(timeout 60 wine "$cli" "$@" 2>&1) || true
    if grep -q -- "$pattern" <<<"$out"; then
      echo "tarvik.exe $what: ok" >&2
    else
      printf 'tarvik.exe %s: expected "%s" in:\n%s\n' "$what" "$pattern" "$out" >&2
      failed=1
    fi
  }
  smoke "--help" "Subcommands:" --help
  smoke "--version" "TarvikDLL.dll (version $version)" --version # read from the loaded DLL's resource
  smoke "unknown command" "unknown command 'frobnicate'" frobnicate
  smoke "explain" "ResultWrongIdentity" explain -7311
  if command -v python3 >/dev/null; then
    # Answers every request on the device side of COM3 with a flow reading of 100 %.
    python3 - "$run/peer-COM23" 30 >"$run/responder.out" <<'PY' &
import os, select, sys, time, tty
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
tty.setraw(fd)
frame = bytes([0x86, 0x8A, 0x64, 0x01, 0x02, 0x03, 0x01, 0x07, 0x00, 0x00, 0x39, 0x42, 0xC8, 0x00, 0x00])
check = 0
for b in frame:
    check ^= b
reply = b"\xff\xff\xff" + frame + bytes([check])
print("ready", flush=True)
request, end = b"", time.time() + float(sys.argv[2])
while time.time() < end:
    if select.select([fd], [], [], 0.02)[0]:
        request += os.read(fd, 4096)
    elif request:
        os.write(fd, reply)
        request = b""
PY
    responder=$!
    pids+=("$responder")
    for _ in $(seq 100); do grep -q ready "$run/responder.out" 2>/dev/null && break; sleep 0.05; done
    smoke "flow" '"value":100.0' flow -p 3 -b 38400 -a 64:010203 --json
    kill "$responder" 2>/dev/null || true
  else
    echo "tarvik.exe flow: skipped (no python3 to play the device)" >&2
  fi
fi

# ---- the zip of both builds -----------------------------------------------------------------------
out=${OUT:-$root/build-packages}
name=TarvikDLL-$version-windows
mkdir -p "$out"
cpack -G ZIP --config "$root/build-mingw32/CPackConfig.cmake" -B "$out/cpack-work" \
      -D CPACK_PACKAGE_FILE_NAME="$name" \
      -D CPACK_INSTALL_CMAKE_PROJECTS="$root/build-mingw32;Tarvik;ALL;/x86;$root/build-mingw64;Tarvik;ALL;/x64" \
      >"$out/cpack-windows.log" || { cat "$out/cpack-windows.log"; exit 1; }
mv "$out/cpack-work/$name.zip" "$out/"
rm -rf "$out/cpack-work"
# The contents a Windows host developer needs, for both architectures.
listing=$(python3 -c 'import sys, zipfile; print("\n".join(zipfile.ZipFile(sys.argv[1]).namelist()))' "$out/$name.zip")
expected=(bin/TarvikDLL.dll lib/TarvikDLL.def lib/libTarvikDLL.dll.a lib/TarvikDLL.lib include/TarvikDLL.h
          lib/cmake/Tarvik/TarvikConfig.cmake)
[ "$with_tool" -eq 1 ] && expected+=(bin/tarvik.exe)
for arch in x86 x64; do
  for f in "${expected[@]}"; do
    grep -qx "$name/$arch/$f" <<<"$listing" || { echo "windows: $name.zip lacks $arch/$f" >&2; failed=1; }
  done
done
# Each DLL is of its own architecture.
unpacked="$run/zip"
python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$out/$name.zip" "$unpacked"
objdump -f "$unpacked/$name/x86/bin/TarvikDLL.dll" | grep -q 'pei-i386' || { echo "x86 DLL is not 32-bit" >&2; failed=1; }
objdump -f "$unpacked/$name/x64/bin/TarvikDLL.dll" | grep -q 'pei-x86-64' || { echo "x64 DLL is not 64-bit" >&2; failed=1; }
echo "windows: $out/$name.zip ($(wc -l <<<"$listing") entries; tool included: $([ "$with_tool" -eq 1 ] && echo yes || echo no))" >&2

if [ "$failed" -ne 0 ]; then
  notice "FAILED"
  exit 1
fi
notice "passed (both DLLs: export and import tables, port component, end-to-end cases, fast link; tarvik.exe; the zip)"
