#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the release library (-O2, no sanitizers) and the bench programs into
# build-bench/, installing what they need first.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh libbenchmark-dev valgrind
cmake --preset bench > /dev/null
cmake --build --preset bench -j "$(nproc)"
