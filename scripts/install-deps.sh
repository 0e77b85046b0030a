#!/usr/bin/env bash
# Installs what the build, the tests and the demo need (Debian). Runs apt only when something is
# missing; as a non-root user it prints the command instead.
set -euo pipefail

packages=(cmake ninja-build g++ clang clang-format libgtest-dev libgmock-dev libbenchmark-dev
          libcli11-dev libfmt-dev nlohmann-json3-dev python3 socat valgrind librsvg2-bin
          python3-venv python3-setuptools python3-wheel pkg-config dpkg-dev libclang-rt-14-dev
          libmosquitto-dev mosquitto mosquitto-clients libtomlplusplus-dev libcpp-httplib-dev prometheus help2man
          openssl libcrypt-dev zlib1g-dev)
if [ "${1:-}" = "--windows" ]; then
  packages+=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine32:i386 wine64)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

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
