#!/usr/bin/env bash
# Sets everything up, then builds and runs the whole test suite twice: a
# normal build, and one under AddressSanitizer + UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)
for preset in default asan; do
  echo "=== ${preset} build ==="
  cmake --preset "${preset}" > /dev/null
  cmake --build --preset "${preset}" -j "${jobs}"
  ctest --preset "${preset}" -j "${jobs}"
done
