#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Where a job's time goes, by stage and by library, from one callgrind run:
#   bash bench/profile.sh [INPUT START_MS END_MS WIDTH FPS]
# (default: the 10 s 640x360 input, whole, at 480 px and 15 fps). Needs the
# inputs that bench/run.sh makes.
set -euo pipefail
cd "$(dirname "$0")/.."
bash bench/build.sh > /dev/null
python3 bench/profile.py "$@"
