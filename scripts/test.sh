#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sets everything up, then builds and runs the whole test suite twice: a
# normal build, and one under AddressSanitizer + UndefinedBehaviorSanitizer
# (with LeakSanitizer). Between them: the installed tree with its two
# consumers, a build with Debian's distribution flags and warnings as errors,
# and the Windows cross-compile check. Then the tests of concurrent use under
# ThreadSanitizer; then FFmpeg 7.1.5 is built from source (or its earlier
# build reused) and the whole suite runs again against it. Last, a 60 s run
# of each fuzzer.
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
bash scripts/windows_check.sh
run_preset asan
run_preset tsan
bash scripts/build_ffmpeg.sh
# The preset's prefix is build_ffmpeg.sh's default; a prefix chosen through
# GIFEXPORT_FFMPEG_PREFIX goes to both.
run_preset ffmpeg7 ${GIFEXPORT_FFMPEG_PREFIX:+"-DGIFEXPORT_FFMPEG_PREFIX=${GIFEXPORT_FFMPEG_PREFIX}"}
bash scripts/fuzz.sh 60
