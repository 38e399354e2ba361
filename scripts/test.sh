#!/usr/bin/env bash
# Sets everything up, then builds and runs the whole test suite twice: a
# normal build, and one under AddressSanitizer + UndefinedBehaviorSanitizer
# (with LeakSanitizer). Between them: the installed tree with its two
# consumers, a build with Debian's distribution flags and warnings as errors,
# and the Windows cross-compile check. Last, the tests of
# concurrent use under ThreadSanitizer, and a 60 s run of each fuzzer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)
run_preset() {
  echo "=== $1 build ==="
  cmake --preset "$1" > /dev/null
  cmake --build --preset "$1" -j "${jobs}"
  ctest --preset "$1" -j "${jobs}"
}
run_preset default
bash scripts/check_install.sh
bash scripts/distro_flags_check.sh
bash scripts/windows_check.sh
run_preset asan
run_preset tsan
bash scripts/fuzz.sh 60
