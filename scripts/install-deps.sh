#!/usr/bin/env bash
# Installs what the build, the tests and the demo need (Debian). Runs apt only when something is
# missing; as a non-root user it prints the command instead.
set -euo pipefail

packages=(cmake ninja-build g++ clang clang-format libgtest-dev libgmock-dev libbenchmark-dev
          libcli11-dev libfmt-dev nlohmann-json3-dev python3 socat valgrind librsvg2-bin
          python3-venv python3-setuptools python3-wheel pkg-config dpkg-dev libclang-rt-14-dev
          libmosquitto-dev mosquitto mosquitto-clients libtomlplusplus-dev libcpp-httplib-dev prometheus help2man
          openssl libcrypt-dev tshark zlib1g-dev libprotobuf-dev protobuf-compiler nodejs)
# npm comes with some builds of nodejs; Debian's is a package of its own.
command -v npm >/dev/null || packages+=(npm)
if [ "${1:-}" = "--windows" ]; then
  packages+=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine32:i386 wine64)
fi

# The independent Sparkplug B decoder the tests compare with (an npm package; node_modules is not
# committed). Without it those checks are skipped, saying so.
sparkplug_decoder() {
  local dir
  dir="$(cd "$(dirname "$0")/.." && pwd)/tools/tests/sparkplug"
  [ -d "$dir/node_modules/sparkplug-payload" ] && return 0
  command -v npm >/dev/null || return 0
  (cd "$dir" && npm ci --no-audit --no-fund --loglevel=error) || echo "npm ci in $dir failed" >&2
}

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  sparkplug_decoder
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${missing[*]}" >&2
  echo "Install them with: sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
  dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
sparkplug_decoder
