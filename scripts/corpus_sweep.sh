#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs every file of ../shared/corpus through the probe and whole jobs and
# prints the table (file, probe, window, start code, final state, error,
# frames, wall milliseconds).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset default > /dev/null
cmake --build --preset default -j "$(nproc)" --target corpus_sweep
./build/tests/corpus_sweep "${1:-../shared/corpus}" "${2:-60}"
