#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The benchmark, in one command:
#   bash bench/run.sh [RUNS] [--cases REGEX]
# Builds the release library with the bench programs, makes the inputs once
# into bench/.cache, compares whole jobs against the ffmpeg command-line tool
# (RUNS alternating rounds, default 5), then measures the report calls with
# Google Benchmark. With --cases only the whole-job cases whose label matches
# run (e.g. --cases TS), and the report calls are left out.
set -euo pipefail
cd "$(dirname "$0")/.."
bash bench/build.sh
python3 bench/run.py "$@"
[[ " $* " == *" --cases"* ]] && exit 0
echo
./build-bench/bench/report_calls_bench --benchmark_counters_tabular=true \
  bench/.cache/h264_360p25_10s.mp4 bench/.cache
