#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sets everything up, then builds and runs the whole test suite twice: a
# normal build, and one under AddressSanitizer + UndefinedBehaviorSanitizer
# (with LeakSanitizer). Between them: the installed tree with its two
# consumers, and a build with Debian's distribution flags and warnings as
# errors. Then the tests of concurrent use under ThreadSanitizer; then FFmpeg
# 7.1.5 is built from source (or its earlier build reused) and the whole suite
# runs again against it. Then the same for 64-bit Windows: FFmpeg cross-built
# with mingw-w64, the library, tool and tests cross-built, the suite run under
# wine, and the Windows zip made and tried. Last, a 60 s run of each fuzzer.
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
bash scripts/build_ffmpeg.sh
# The preset's prefix is build_ffmpeg.sh's default; a prefix chosen through
# GIFEXPORT_FFMPEG_PREFIX goes to both.
run_preset ffmpeg7 ${GIFEXPORT_FFMPEG_PREFIX:+"-DGIFEXPORT_FFMPEG_PREFIX=${GIFEXPORT_FFMPEG_PREFIX}"}
bash scripts/setup.sh g++-mingw-w64-x86-64-posix wine wine64
bash scripts/build_ffmpeg.sh win64
# The first wine start sets up its prefix (~/.wine); once, before tests run
# side by side.
WINEDEBUG=-all wine cmd /c exit 0
run_preset windows ${GIFEXPORT_FFMPEG_WIN64_PREFIX:+"-DGIFEXPORT_FFMPEG_PREFIX=${GIFEXPORT_FFMPEG_WIN64_PREFIX}"}
bash scripts/package_windows.sh
bash scripts/fuzz.sh 60
