#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sets everything up, builds, and converts a built-in sample clip to a GIF.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset default > /dev/null
cmake --build --preset default -j "$(nproc)" --target gifexport_cli
mkdir -p demo-output
./build/gifexport demo "$PWD/demo-output/demo.gif"
