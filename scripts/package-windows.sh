#!/usr/bin/env bash
# The Windows zip: builds TarvikDLL.dll for 32-bit and 64-bit Windows with MinGW (and the Windows
# build of the `tarvik` tool when it configures), then lets CPack put both installs into one zip:
#   TarvikDLL-<version>-windows/x86/{bin,lib,include,...}   32-bit DLL, .def, import libraries, header
#   TarvikDLL-<version>-windows/x64/...                      the same for 64-bit
# and checks its contents. Writes the zip to $OUT (default: build-packages/ in the source tree).
# Environment: WIN_PACKAGE_PREFIX (default build-winpkg, giving build-winpkg32/64),
#              WINDOWS_LEG=skip to skip, as the Windows leg does.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
prefix=${WIN_PACKAGE_PREFIX:-build-winpkg}
out=${OUT:-$root/build-packages}
notice() { printf '\n*** Windows package: %s ***\n\n' "$*" >&2; }

if [ "${WINDOWS_LEG:-}" = "skip" ]; then
  notice "SKIPPED (WINDOWS_LEG=skip)"
  exit 0
fi

for tool in i686-w64-mingw32-g++-posix x86_64-w64-mingw32-g++-posix; do
  command -v "$tool" >/dev/null || { notice "SKIPPED: $tool missing (scripts/install-deps.sh --windows)"; exit 0; }
done

declare -A triplet=([32]=i686-w64-mingw32 [64]=x86_64-w64-mingw32)
with_tool=1
for bits in 32 64; do
  dir="$root/$prefix$bits"
  args=(-S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVIK_WINE_TESTS=OFF
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-${triplet[$bits]}.cmake")
  mkdir -p "$dir"
  if ! cmake "${args[@]}" -DTARVIK_BUILD_TOOLS=ON >"$dir/configure-tools.log" 2>&1; then
    notice "the tarvik tool does not configure for Windows ($bits-bit); packaging the DLL without it
    (see $dir/configure-tools.log)"
    cmake "${args[@]}" -DTARVIK_BUILD_TOOLS=OFF >/dev/null
    with_tool=0
  fi
  ninja -C "$dir" -j"$(nproc)"
done

version=$(sed -n 's/^project(Tarvik VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name=TarvikDLL-$version-windows
mkdir -p "$out"
cpack -G ZIP --config "$root/${prefix}32/CPackConfig.cmake" -B "$out/cpack-work" \
      -D CPACK_PACKAGE_FILE_NAME="$name" \
      -D CPACK_INSTALL_CMAKE_PROJECTS="$root/${prefix}32;Tarvik;ALL;/x86;$root/${prefix}64;Tarvik;ALL;/x64" \
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
    grep -qx "$name/$arch/$f" <<<"$listing" || { echo "package-windows: $name.zip lacks $arch/$f" >&2; exit 1; }
  done
done
# Each DLL is of its own architecture.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$out/$name.zip" "$tmp"
objdump -f "$tmp/$name/x86/bin/TarvikDLL.dll" | grep -q 'pei-i386' || { echo "x86 DLL is not 32-bit" >&2; exit 1; }
objdump -f "$tmp/$name/x64/bin/TarvikDLL.dll" | grep -q 'pei-x86-64' || { echo "x64 DLL is not 64-bit" >&2; exit 1; }
echo "package-windows: $out/$name.zip ($(wc -l <<<"$listing") entries; tool included: $([ "$with_tool" -eq 1 ] && echo yes || echo no))"
