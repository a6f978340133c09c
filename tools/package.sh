#!/usr/bin/env bash
# The SDK as a host gets it. Installs the build into a scratch prefix, checks what the
# library exports, builds examples/host against the installed tree twice (find_package
# and pkg-config) and runs both on the sample target; builds the Debian package and
# checks it with lintian. With --apt (as root, as CI runs) it then installs the package
# with apt and runs the program and the example host against the installed files.
#   tools/package.sh [--apt]
set -euo pipefail
cd "$(dirname "$0")/.."

apt_install=false
[ "${1:-}" = "--apt" ] && apt_install=true

tools/setup.sh
tools/build.sh normal transvia transvia_cli transvia_messages transvia_hwdb transvia_assistant_inf transvia_assistant transvia_man transvia_changelog

work=$PWD/build/package
rm -rf "$work"
mkdir -p "$work/drivers"
prefix=$work/prefix
cmake --install build --prefix "$prefix" >/dev/null

echo "== exported symbols and SONAME"
python3 tests/entry/check_exports.py "$prefix/lib/libtransvia.so" "$prefix/include/transvia"
readelf -d "$prefix/lib/libtransvia.so" | grep -q 'SONAME.*\[libtransvia\.so\.[0-9]*\]'

tools/make_sample_target.sh build/out/transvia "$work/target"

# The host must start (the library found its files beside itself), read the sample
# target and report a result; the flows decide success, this checks the plumbing.
run_host() {
  local output status=0
  output=$("$@" "$work/target" Windows "$work/drivers" 'PCI\VEN_8086&DEV_2922&CC_0106' 2>&1) || status=$?
  echo "$output" | sed 's/^/    /'
  if [ "$status" -gt 1 ] || ! grep -q '^result:' <<<"$output" || grep -q '0x001D0347' <<<"$output"; then
    echo "the example host failed: $*" >&2
    exit 1
  fi
}

echo "== example host with find_package(Transvia)"
cmake -S examples/host -B "$work/host-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/host-cmake" >/dev/null
run_host "$work/host-cmake/transvia_host"

echo "== example host with pkg-config"
# shellcheck disable=SC2046
c++ -std=c++20 examples/host/host.cpp $(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs transvia) \
  -o "$work/transvia_host_pc"
LD_LIBRARY_PATH="$prefix/lib" run_host "$work/transvia_host_pc"

echo "== Debian package"
(cd build && cpack -G DEB -B "$work/deb" >/dev/null)
deb=$(ls "$work"/deb/transvia_*.deb)
dpkg-deb --contents "$deb" | awk '{print "    " $6, $7, $8}'
lintian --fail-on error,warning --display-level '>=warning' "$deb"

if $apt_install; then
  echo "== apt install"
  apt install -y -qq "$deb" >/dev/null 2>&1 || apt install -y "$deb"
  transvia --version
  test -f /usr/share/man/man1/transvia.1.gz
  cmake -S examples/host -B "$work/host-system" -G Ninja >/dev/null
  cmake --build "$work/host-system" >/dev/null
  run_host "$work/host-system/transvia_host"
  # shellcheck disable=SC2046
  c++ -std=c++20 examples/host/host.cpp $(pkg-config --cflags --libs transvia) -o "$work/transvia_host_system_pc"
  run_host "$work/transvia_host_system_pc"
fi
echo "package checks passed: $deb"
