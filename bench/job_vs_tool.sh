#!/usr/bin/env bash
# Peak memory and wall time of one whole job against the ffmpeg command-line
# tool running the same filter chain on the same window.
#   bash bench/job_vs_tool.sh [RUNS]
# Builds the release library, makes a 60 s 1920x1080 30 fps H.264 input once
# (cached in bench/.cache), then alternates library and tool RUNS times (3).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
bash scripts/setup.sh
command -v /usr/bin/time > /dev/null || { apt-get update && apt-get install -y time; }
cmake --preset default > /dev/null
cmake --build --preset default -j "$(nproc)" --target gifexport_cli > /dev/null

cache=bench/.cache
mkdir -p "$cache"
input=$cache/h264_1080p30_60s.mp4
if [ ! -s "$input" ]; then
  ffmpeg -v error -nostdin -y -f lavfi -i testsrc2=size=1920x1080:rate=30 -t 60 \
    -c:v libx264 -preset veryfast -pix_fmt yuv420p "$input"
fi

chain="fps=15,scale=480:-2:flags=lanczos,split[a][b];[a]palettegen=stats_mode=diff[p];[b][p]paletteuse=dither=bayer:bayer_scale=5:diff_mode=rectangle"
measure() {  # prints "wall_s peak_rss_kb" for the command
  /usr/bin/time -v "$@" > /dev/null 2> "$cache/time.txt" || { cat "$cache/time.txt"; exit 1; }
  awk -F': ' '/Elapsed \(wall clock\)/ {split($2, t, ":"); w = t[1] * 60 + t[2]}
              /Maximum resident/ {r = $2} END {print w, r}' "$cache/time.txt"
}

printf '%-6s %-10s %10s %14s\n' run who wall_s peak_rss_mb
for i in $(seq 1 "$runs"); do
  read -r w r < <(measure ./build/gifexport convert "$input" "$cache/lib.gif" 0 -1 480 15)
  printf '%-6s %-10s %10.2f %14.1f\n' "$i" library "$w" "$(echo "$r / 1024" | bc -l)"
  read -r w r < <(measure ffmpeg -v error -nostdin -y -threads 1 -i "$input" -filter_threads 1 \
    -vf "$chain" "$cache/tool.gif")
  printf '%-6s %-10s %10.2f %14.1f\n' "$i" tool-1thr "$w" "$(echo "$r / 1024" | bc -l)"
done
# Frames held in front of the palette stage: 900 frames of 480x270 at 4 bytes.
echo "model: 900 x 480 x 270 x 4 B = $(echo '900*480*270*4/1048576' | bc) MiB held before encoding"
