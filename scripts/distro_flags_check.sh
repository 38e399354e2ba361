#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds everything (library, tool, tests) the way a Debian package build
# does: the compiler and linker flags dpkg-buildflags gives (hardening,
# -Werror=format-security, _FORTIFY_SOURCE), build type None so CMake adds
# nothing of its own, and -DGIFEXPORT_WERROR=ON so any warning in our own
# sources fails the build. Then runs the unit tests and a few quick tests of
# the eight exports against that build. The build tree is build-distro/,
# kept between runs.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
command -v dpkg-buildflags > /dev/null || bash scripts/setup.sh dpkg-dev

flags() { dpkg-buildflags --get "$1"; }
# CMake does not read CPPFLAGS; like debhelper, put them before the compile flags.
cflags="$(flags CPPFLAGS) $(flags CFLAGS)"
cxxflags="$(flags CPPFLAGS) $(flags CXXFLAGS)"
ldflags=$(flags LDFLAGS)
echo "=== distribution flags ==="
echo "CXXFLAGS: $cxxflags"
echo "LDFLAGS:  $ldflags"

# The flags are given on every configure (not through the environment, which
# CMake reads only into a new tree), so a kept tree follows changed flags.
cmake -S . -B build-distro -DCMAKE_BUILD_TYPE=None -DGIFEXPORT_WERROR=ON \
  -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cxxflags" \
  -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" \
  -DCMAKE_MODULE_LINKER_FLAGS="$ldflags" > /dev/null
cmake --build build-distro -j "$jobs"

echo "=== unit tests ==="
ctest --test-dir build-distro -j "$jobs" --output-on-failure -L '^unit$'
echo "=== quick tests of the exports ==="
ctest --test-dir build-distro -j "$jobs" --output-on-failure \
  -R '^(exported_symbols|python_example_host|ApiTest\.(Probe.*|ArgumentChecksRefuseBeforeTouchingAnyFile|SlotsAreTakenInOrderAndBusyUntilFreed))$'
echo "distribution flags check: passed"
