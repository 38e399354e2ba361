#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Whole jobs of the library against the ffmpeg command-line tool running the
same filter chain on the same window, alternating library and tool runs.
Prints a markdown table of medians (wall s, CPU s, peak RSS MiB) and ratios.
The library also runs a fourth time per round with MALLOC_ARENA_MAX=1: glibc
then serves the worker thread from the main heap, as it serves the tool, whose
filtering runs on its main thread; the gap between the two library columns is
the cost of the worker thread's own heap, not of the work.
A second table sets each late window against the window at 0:00 of the same
input: what the seek to it costs.
    run.py [RUNS] [--cases REGEX]    (only the cases whose label matches)
Run through bench/run.sh, which builds the release library and this host."""
import argparse
import os
import re
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CACHE = os.path.join(ROOT, "bench", ".cache")
HOST = os.path.join(ROOT, "build-bench", "bench", "bench_host")
CHAIN = ("fps={fps},scale={width}:-2:flags=lanczos,split[a][b];[a]palettegen=stats_mode=diff[p];"
         "[b][p]paletteuse=dither=bayer:bayer_scale=5:diff_mode=rectangle")

# name, container, size, rate, seconds, key frame interval
INPUTS = [
    ("h264_360p25_10s", "mp4", "640x360", 25, 10, 50),
    ("h264_1080p30_60s", "mp4", "1920x1080", 30, 60, 60),
    ("h264_2160p30_20s", "mp4", "3840x2160", 30, 20, 60),
    ("h264_360p25_6min", "mp4", "640x360", 25, 360, 250),
    # A transport stream seeks by timestamp, landing between key frames.
    ("h264_360p25_6min_gop2s", "ts", "640x360", 25, 360, 50),
]
CONTAINER = {name: container for name, container, *_ in INPUTS}

# label, input, start ms, end ms, width, fps
CASES = [
    ("360p 10 s, 480 px 15 fps", "h264_360p25_10s", 0, 10000, 480, 15),
    ("1080p 60 s, 480 px 15 fps", "h264_1080p30_60s", 0, 60000, 480, 15),
    ("1080p 20 s, 1920 px 30 fps", "h264_1080p30_60s", 0, 20000, 1920, 30),
    ("2160p 20 s, 480 px 15 fps", "h264_2160p30_20s", 0, 20000, 480, 15),
    ("6 min input, 3 s at 0:00", "h264_360p25_6min", 0, 3000, 480, 15),
    ("6 min input, 3 s at 5:00", "h264_360p25_6min", 300000, 303000, 480, 15),
    ("6 min input, 3 s at 5:05", "h264_360p25_6min", 305000, 308000, 480, 15),
    ("6 min TS, 2 s key frames, 3 s at 0:00", "h264_360p25_6min_gop2s", 0, 3000, 480, 15),
    ("6 min TS, 2 s key frames, 3 s at 5:00", "h264_360p25_6min_gop2s", 300000, 303000, 480, 15),
]

# Cases whose library run is shorter than this many seconds get three times
# the rounds: their run-to-run noise is a larger share of the time.
SHORT_CASE_S = 5.0


def input_path(name):
    return os.path.join(CACHE, f"{name}.{CONTAINER.get(name, 'mp4')}")


def make_inputs(names):
    os.makedirs(CACHE, exist_ok=True)
    for name, container, size, rate, seconds, gop in INPUTS:
        path = input_path(name)
        if name not in names or os.path.exists(path):
            continue
        print(f"making {name} ...", file=sys.stderr)
        tmp = f"{path}.tmp.{container}"
        subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "lavfi", "-i",
                        f"testsrc2=size={size}:rate={rate}", "-t", str(seconds), "-c:v", "libx264",
                        "-preset", "veryfast", "-g", str(gop), "-pix_fmt", "yuv420p", tmp],
                       check=True)
        os.rename(tmp, path)


def measure(cmd, env=None):
    """Wall seconds, CPU seconds (user + system) and peak RSS in MiB of one run."""
    t0 = time.monotonic()
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - t0
    err = proc.stderr.read().decode(errors="replace")
    proc.stderr.close()
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"failed: {' '.join(cmd)}\n{err}")
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024.0


def commands(case):
    _, name, start, end, width, fps = case
    src = input_path(name)
    out = os.path.join(CACHE, "out.gif")
    chain = CHAIN.format(width=width, fps=fps)
    window = ["-ss", f"{start / 1000:.3f}", "-t", f"{(end - start) / 1000:.3f}"]
    library = [HOST, src, out, str(start), str(end), str(width), str(fps)]
    tool_one = ["ffmpeg", "-v", "error", "-nostdin", "-y", "-threads", "1", *window, "-i", src,
                "-filter_threads", "1", "-vf", chain, out]
    tool_default = ["ffmpeg", "-v", "error", "-nostdin", "-y", *window, "-i", src, "-vf", chain, out]
    return library, tool_one, tool_default


def main():
    parser = argparse.ArgumentParser(description="Whole jobs against the ffmpeg command-line tool.")
    parser.add_argument("runs", nargs="?", type=int, default=5, help="rounds per case (default 5)")
    parser.add_argument("--cases", default="", help="only the cases whose label matches this regex")
    args = parser.parse_args()
    runs = args.runs
    cases = [c for c in CASES if re.search(args.cases, c[0])]
    if not cases:
        raise SystemExit(f"no case matches {args.cases!r}")
    make_inputs({c[1] for c in cases})
    one_arena = dict(os.environ, MALLOC_ARENA_MAX="1")
    rows = []
    for case in cases:
        library, tool_one, tool_default = commands(case)
        results = {"lib": [], "one": [], "def": [], "arena": []}

        def one_round():  # A B C D
            results["lib"].append(measure(library))
            results["one"].append(measure(tool_one))
            results["def"].append(measure(tool_default))
            results["arena"].append(measure(library, one_arena))

        one_round()
        rounds = 3 * runs if results["lib"][0][0] < SHORT_CASE_S else runs
        for i in range(1, rounds):
            one_round()
            print(f"{case[0]}: run {i + 1}/{rounds}", file=sys.stderr)
        med = {k: [statistics.median(r[j] for r in v) for j in range(3)] for k, v in results.items()}
        rows.append((case, rounds, med))
    print("| case | runs | library wall s | tool 1-thread wall s | ratio | tool default wall s | ratio "
          "| library, one arena: wall s | ratio to tool 1-thread "
          "| library CPU s | tool 1-thread CPU s "
          "| library RSS MiB | tool 1-thread RSS MiB | ratio | library, one arena: RSS ratio |")
    print("|---" * 15 + "|")
    for case, rounds, m in rows:
        lib, one, dflt, arena = m["lib"], m["one"], m["def"], m["arena"]
        print(f"| {case[0]} | {rounds} | {lib[0]:.2f} | {one[0]:.2f} | {lib[0] / one[0]:.2f} "
              f"| {dflt[0]:.2f} | {lib[0] / dflt[0]:.2f} | {arena[0]:.2f} | {arena[0] / one[0]:.2f} "
              f"| {lib[1]:.2f} | {one[1]:.2f} "
              f"| {lib[2]:.0f} | {one[2]:.0f} | {lib[2] / one[2]:.2f} | {arena[2] / one[2]:.2f} |")
    seek_rows(rows)
    print(f"\nmedians of RUNS={runs} alternating rounds (three times as many for cases under "
          f"{SHORT_CASE_S:.0f} s); {os.cpu_count()} cores; {time.strftime('%Y-%m-%d')}")


def seek_rows(rows):
    """Each window starting later than 0:00 against the window at 0:00 of the
    same input and length: the cost of reaching it."""
    first = {(case[1], case[3] - case[2]): m for case, _, m in rows if case[2] == 0}
    late = [(case, m, first.get((case[1], case[3] - case[2]))) for case, _, m in rows if case[2] > 0]
    late = [row for row in late if row[2] is not None]
    if not late:
        return
    print("\n| late window | library wall s | at 0:00 | ratio | tool 1-thread wall s | at 0:00 | ratio |")
    print("|---" * 7 + "|")
    for case, m, m0 in late:
        lib, lib0, one, one0 = m["lib"][0], m0["lib"][0], m["one"][0], m0["one"][0]
        print(f"| {case[0]} | {lib:.2f} | {lib0:.2f} | {lib / lib0:.2f} "
              f"| {one:.2f} | {one0:.2f} | {one / one0:.2f} |")


if __name__ == "__main__":
    main()
