#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sets everything up, then builds and runs the whole test suite twice: a
# normal build, and one under AddressSanitizer + UndefinedBehaviorSanitizer
# (with LeakSanitizer). Between them: the installed tree with its two
# consumers, and a build with Debian's distribution flags and warnings as
# errors. Then the tests of concurrent use under ThreadSanitizer; then FFmpeg
# 9.0.2 and 7.1.5 are built from source (or their earlier builds reused) and
# the whole suite runs again against each. Then the same for 64-bit Windows:
# FFmpeg 9.0.2 cross-built with mingw-w64, the library, tool and tests
# cross-built, the suite run under wine, and the Windows zip made and tried.
# Last, a 60 s run of each fuzzer.
#   GIFEXPORT_SKIP_FFMPEG7=1  leaves out the build and suite against 7.1.5
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)
run_preset() {
  echo "=== $1 build ==="
  cmake --preset "$1" "${@:2}" > /dev/null
  cmake --build --preset "$1" -j "${jobs}"
  ctest --preset "$1" -j "${jobs}"
}
run_preset default
bash scripts/check_install.sh
bash scripts/distro_flags_check.sh
run_preset asan
run_preset tsan
# build_ffmpeg.sh prints the prefix it installed into on its last line. Its
# output goes on to stderr through cat: tee to /dev/stderr would reopen that
# file, which truncates a log the run is redirected into.
ffmpeg_prefix() { bash scripts/build_ffmpeg.sh "$@" | tee >(cat >&2) | tail -n 1; }
# Assigned first: a failed build stops the script there.
prefix=$(ffmpeg_prefix native 9.0.2)
run_preset ffmpeg9 -DGIFEXPORT_FFMPEG_PREFIX="$prefix"
if [ "${GIFEXPORT_SKIP_FFMPEG7:-0}" != 1 ]; then
  prefix=$(ffmpeg_prefix native 7.1.5)
  run_preset ffmpeg7 -DGIFEXPORT_FFMPEG_PREFIX="$prefix"
fi
bash scripts/setup.sh g++-mingw-w64-x86-64-posix wine wine64
windows_prefix=$(ffmpeg_prefix win64 9.0.2)
# The first wine start sets up its prefix (~/.wine); once, before tests run
# side by side.
WINEDEBUG=-all wine cmd /c exit 0
# The windows test preset runs a failed test once more: now and then wine's
# server drops a starting program ("wine client error: recvmsg: Connection
# reset by peer"), which fails whichever test it was. A test that fails
# twice fails the run.
run_preset windows -DGIFEXPORT_FFMPEG_PREFIX="$windows_prefix"
bash scripts/package_windows.sh
bash scripts/fuzz.sh 60
