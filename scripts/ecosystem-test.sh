#!/usr/bin/env bash
# The installed package as a host developer meets it, from a finished build directory:
#   1. cmake --install into a scratch prefix; the soname, header, CMake and pkg-config files;
#   2. a C and a C++ host built against it with find_package(Tarvik), and the C host with pkg-config;
#   3. the Debian package (cpack), unpacked, and the C host built against the unpacked tree;
#   4. the hosts run against the simulator from the installed prefix;
#   5. the wheel the build made (build/python/tarvik-*.whl, with the library inside) installed
#      offline into a fresh virtual environment of the first python3 on PATH, and the Python tests
#      run from there against the installed simulator.
# Step 5 waits mostly for the library's fixed response times, so it runs in the background from
# the start, beside steps 2 to 4, with its test classes in parallel processes; cpack for step 3
# runs in the background beside step 2. The package is not
# built here again: the wheel is shared with the build (`pip install ./python` from the source
# runs in the docs test, from python/README.md).
# Usage: scripts/ecosystem-test.sh [BUILD_DIR]   (default: build). Run by ctest as `ecosystem`.
# Needs: cmake, a C/C++ compiler, pkg-config, dpkg-deb, python3 with venv (Debian: python3-venv).
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$src/build}" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/tarvik-eco.XXXXXX")
sim_pid=""
py_pid=""
deb_pid=""
cleanup() {
  for pid in $sim_pid $py_pid $deb_pid; do
    if kill -0 "$pid" 2>/dev/null; then
      kill "$pid" && wait "$pid" || true
    fi
  done
  rm -rf "$work"
}
trap cleanup EXIT

# The interpreter a user meets first; the wheel needs nothing but its pip.
python=${PYTHON:-$(command -v python3)}
started=$(date +%s.%N)
elapsed() { awk -v now="$(date +%s.%N)" -v t0="$started" 'BEGIN { printf "%.1f", now - t0 }'; }
step() { printf '\n== %s  (at %s s)\n' "$*" "$(elapsed)"; }
fail() { printf 'ecosystem: %s\n' "$*" >&2; exit 1; }
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

step "install into $work/prefix"
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log"
pc=$(find "$prefix" -name tarvik.pc | head -n1)
[ -n "$pc" ] || fail "no tarvik.pc installed"
libdir=$(dirname "$(dirname "$pc")")
for f in include/TarvikDLL.h bin/tarvik-sim share/tarvik/facts.json; do
  [ -e "$prefix/$f" ] || fail "missing $f"
done
[ -e "$prefix/bin/tarvik" ] || echo "note: the command-line tool is not built yet; not installed"
[ -L "$libdir/libtarvik.so" ] && [ -L "$libdir/libtarvik.so.1" ] && [ -f "$libdir/libtarvik.so.1.0.0" ] \
  || fail "libtarvik.so -> libtarvik.so.1 -> libtarvik.so.1.0.0 not in place in $libdir"
soname=$(objdump -p "$libdir/libtarvik.so.1.0.0" | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = libtarvik.so.1 ] || fail "soname is '$soname', not libtarvik.so.1"
[ ! -e "$libdir/libtarvik_core.a" ] || fail "internal static library installed"
echo "ok: $(cd "$prefix" && find . -type f -o -type l | sort | tr '\n' ' ')"

step "Python: the build's wheel into a fresh environment, tests in the background"
wheel=$(find "$build/python" -maxdepth 1 -name "tarvik-*.whl" 2>/dev/null | head -n1)
[ -n "$wheel" ] || fail "no wheel in $build/python (the build makes it: ninja -C $build python_wheel)"
basename "$wheel"
python_step() {
  set -e
  if "$python" -m pip --python "$python" --version >/dev/null 2>&1; then
    # The interpreter's own pip installs into the new environment: no copy of pip is unpacked into
    # it first (that took most of this step's time on a busy machine).
    "$python" -m venv --without-pip "$work/venv"
    "$python" -m pip --python "$work/venv/bin/python" install --quiet --no-index "$wheel"
  else
    "$python" -m venv "$work/venv"
    "$work/venv/bin/python" -m pip install --quiet --no-index "$wheel"
  fi
  # The tests run from a copy, so that `import tarvik` finds the installed package, not the tree.
  mkdir -p "$work/py" && cp -r "$src/python/tests" "$work/py/"
  cd "$work/py"
  # No TARVIK_LIBRARY, no LD_LIBRARY_PATH: the library must come from the wheel.
  env -u TARVIK_LIBRARY -u LD_LIBRARY_PATH "$work/venv/bin/python" -c '
import sys, tarvik
venv = sys.argv[1]
assert tarvik.__file__.startswith(venv), tarvik.__file__
assert tarvik.facts().path.startswith(venv), tarvik.facts().path
assert tarvik.library_path().startswith(venv), tarvik.library_path()
print("tarvik %s from %s, library %s" % (tarvik.__version__, tarvik.__file__, tarvik.library_path()))
' "$work/venv"
  env -u TARVIK_LIBRARY -u LD_LIBRARY_PATH TARVIK_SOURCE_DIR="$src" TARVIK_SIM="$prefix/bin/tarvik-sim" \
    TARVIK_REQUIRE_ALL=1 "$work/venv/bin/python" tests/run_parallel.py -s tests -t .
}
python_step >"$work/python.log" 2>&1 &
py_pid=$!
# The Debian package is made beside the host builds too (cpack installs the build once more into
# its own tree); step 3 checks it.
(cd "$build" && cpack -G DEB -B "$work/deb" >"$work/cpack.log" 2>&1) &
deb_pid=$!

step "C and C++ hosts with find_package(Tarvik)"
cmake -S "$src/tests/install" -B "$work/host-cmake" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_PREFIX_PATH="$prefix" >"$work/host-cmake.log" || { cat "$work/host-cmake.log"; exit 1; }
grep 'Tarvik 1.0.0' "$work/host-cmake.log"
cmake --build "$work/host-cmake" >/dev/null

step "C host with pkg-config"
cc=${CC:-cc}
build_pc_host() { # pkg-config directory, output
  local flags libs
  flags=$(PKG_CONFIG_PATH=$1 pkg-config --cflags tarvik)
  libs=$(PKG_CONFIG_PATH=$1 pkg-config --libs tarvik)
  echo "$cc $flags host.c $libs"
  # shellcheck disable=SC2086 # the flags are words
  "$cc" -std=c99 -Wall -Wextra -Wpedantic -Werror $flags "$src/tests/install/host.c" $libs -o "$2"
}
[ "$(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --modversion tarvik)" = 1.0.0 ] || fail "pkg-config version"
build_pc_host "$(dirname "$pc")" "$work/host-pc"
# The fast link has its own pkg-config file: a C++ host that opens a link builds and runs with it.
if [ -f "$(dirname "$pc")/tarvik_link.pc" ]; then
  printf '#include <tarvik/Link.h>\nint main() { tarvik::link::HartLink l; return l.Open(41, 19200) == ResultBadPort ? 0 : 1; }\n' \
    >"$work/link-host.cpp"
  # shellcheck disable=SC2046 # the flags are words
  ${CXX:-c++} -std=c++20 "$work/link-host.cpp" $(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --cflags --libs tarvik_link) \
    -o "$work/link-host" && LD_LIBRARY_PATH=$libdir "$work/link-host" || fail "a fast-link host with pkg-config tarvik_link"
fi

step "Debian package"
deb_rc=0
wait "$deb_pid" || deb_rc=$?
deb_pid=""
[ "$deb_rc" = 0 ] || { cat "$work/cpack.log"; fail "cpack failed (exit $deb_rc)"; }
deb=$(ls "$work"/deb/*.deb)
dpkg-deb --info "$deb" | sed -n 's/^ \(Package\|Version\|Architecture\|Depends\):/  &/p'
dpkg-deb --contents "$deb" | awk '{ print $NF }' >"$work/deb.list"
for f in ./usr/include/TarvikDLL.h ./usr/bin/tarvik-sim ./usr/lib/cmake/Tarvik/TarvikConfig.cmake \
         ./usr/share/tarvik/facts.json ./usr/share/doc/tarvik/copyright ./usr/lib/pkgconfig/tarvik_link.pc \
         ./usr/share/man/man1/tarvik.1.gz ./usr/share/man/man1/tarvik-sim.1.gz \
         ./usr/share/bash-completion/completions/tarvik ./usr/share/bash-completion/completions/tarvik-sim; do
  grep -qx "$f" "$work/deb.list" || fail "the package lacks $f"
done
grep -q 'libtarvik.so.1.0.0$' "$work/deb.list" || fail "the package lacks the library"
dpkg-deb --extract "$deb" "$work/debroot"
deb_pc=$(find "$work/debroot" -name tarvik.pc | head -n1)
build_pc_host "$(dirname "$deb_pc")" "$work/host-deb"

step "the hosts against the simulator"
export TARVIK_PORT_DIR=$work/ports
"$prefix/bin/tarvik-sim" --dir "$TARVIK_PORT_DIR" --flow 3:38400 --pressure 4:38400 --readout 5 -q &
sim_pid=$!
for _ in $(seq 100); do
  [ -e "$TARVIK_PORT_DIR/COM3" ] && [ -e "$TARVIK_PORT_DIR/COM4" ] && [ -e "$TARVIK_PORT_DIR/COM5" ] && break
  sleep 0.1
done
[ -e "$TARVIK_PORT_DIR/COM5" ] || fail "the simulator did not start"
"$work/host-cmake/host_c" 3 38400 5
"$work/host-cmake/host_cpp" 3 38400
if [ -x "$work/host-cmake/host_link" ]; then
  "$work/host-cmake/host_link" 3 38400 5 || fail "the fast-link host failed"
elif [ -e "$libdir/libtarvik_link.so" ]; then
  fail "the fast link is installed but the host could not use it"
fi
LD_LIBRARY_PATH=$libdir "$work/host-pc" 3 38400 5 >/dev/null && echo "pkg-config host: all as expected"
LD_LIBRARY_PATH=$(dirname "$(dirname "$deb_pc")") "$work/host-deb" 3 38400 5 >/dev/null \
  && echo "host against the unpacked package: all as expected"
kill "$sim_pid" && wait "$sim_pid" || true
sim_pid=""

step "Python (started after the install)"
py_rc=0
wait "$py_pid" || py_rc=$?
py_pid=""
cat "$work/python.log"
[ "$py_rc" = 0 ] || fail "the Python step failed (exit $py_rc)"
echo
echo "ecosystem: all steps passed in $(elapsed) s"
