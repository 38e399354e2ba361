#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Where a job's instructions go, from one callgrind run of bench_host.

Runs bench_host under callgrind on one cached input, then reads the inclusive
cost of the FFmpeg entry points the worker calls and groups them into the
job's stages (read, decode, filter graph, GIF encode, mux), and the exclusive
cost per shared object. Instruction counts do not depend on what else the
machine is doing, so two runs of the same build give the same table.
Run through bench/profile.sh, which builds the release host first."""
import os
import re
import subprocess
import sys

from run import input_path

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CACHE = os.path.join(ROOT, "bench", ".cache")
HOST = os.path.join(ROOT, "build-bench", "bench", "bench_host")
TIMER_STUB = os.path.join(ROOT, "build-bench", "bench", "valgrind_timer_stub.so")

# Stage, then the entry points the worker calls for it. The worker feeds every
# frame into the graph before the first frame comes out, so no entry point of
# one stage runs inside another's.
STAGES = [
    ("read packets and seek", ["av_read_frame", "av_seek_frame"]),
    ("decode (H.264, one thread)", ["avcodec_send_packet", "avcodec_receive_frame"]),
    ("filter graph: fps, Lanczos scale, palette, Bayer dither",
     ["av_buffersrc_add_frame_flags", "av_buffersrc_close", "av_buffersink_get_frame"]),
    ("GIF encode", ["avcodec_send_frame", "avcodec_receive_packet"]),
    ("mux and file writes", ["avformat_write_header", "av_interleaved_write_frame",
                             "av_write_trailer", "avio_flush", "avio_closep"]),
    ("open input and stream info (start check and worker)",
     ["avformat_open_input", "avformat_find_stream_info"]),
    ("graph and codec set-up", ["avfilter_graph_config", "avfilter_graph_parse_ptr",
                                "avcodec_open2"]),
]

# "  1,234 (12.34%)  file:function(args) [object]"; file names hold no colon.
LINE = re.compile(r"^\s*([\d,]+)\s+\(\s*[\d.]+%\)\s+[^:\s]*:(.*?)(?:\s+\[(.+)\])?$")


def annotate(out_file, inclusive):
    text = subprocess.run(["callgrind_annotate", f"--inclusive={'yes' if inclusive else 'no'}",
                           "--threshold=100", out_file],
                          check=True, capture_output=True, text=True).stdout
    rows = []
    for line in text.splitlines():
        m = LINE.match(line)
        if m:  # "gif_thread(void*)" -> "gif_thread"; C names have no argument list
            name = re.sub(r"\([^()]*\)$", "", m.group(2))
            rows.append((int(m.group(1).replace(",", "")), name, m.group(3) or "?"))
    return text, rows


def main():
    name = sys.argv[1] if len(sys.argv) > 1 else "h264_360p25_10s"
    start, end, width, fps = sys.argv[2:6] if len(sys.argv) > 5 else ("0", "10000", "480", "15")
    src = input_path(name)
    out_file = os.path.join(CACHE, "callgrind.out")
    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out_file}",
                    HOST, src, os.path.join(CACHE, "profile.gif"), start, end, width, fps],
                   check=True, stderr=subprocess.DEVNULL,
                   env=dict(os.environ, LD_PRELOAD=TIMER_STUB))
    text, inclusive = annotate(out_file, True)
    total = int(re.search(r"([\d,]+)\s+\(100\.0%\)\s+PROGRAM TOTALS", text).group(1).replace(",", ""))
    cost = {}
    for ir, fn, _ in inclusive:
        cost[fn] = max(cost.get(fn, 0), ir)

    print(f"callgrind, bench_host {name} {start}-{end} ms at {width} px {fps} fps: "
          f"{total / 1e9:.2f} G instructions\n")
    stages = [(stage, sum(cost.get(e, 0) for e in entries)) for stage, entries in STAGES]
    # Threads other than the job's: the graph's slice threads, scaling in slices.
    stages.append(("filter slice threads (scaling on the graph's threads)",
                   cost.get("start_thread", 0) - cost.get("gif_thread", 0)))
    stages.append(("release of the job's objects", cost.get("ge_media_release", 0)))
    stages.append(("everything else (library loading, the start check, the host)",
                   total - sum(ir for _, ir in stages)))
    print("| stage | G instructions | share |")
    print("|---|---|---|")
    for stage, ir in stages:
        print(f"| {stage} | {ir / 1e9:.3f} | {100 * ir / total:.1f} % |")

    _, exclusive = annotate(out_file, False)
    by_object = {}
    for ir, _, obj in exclusive:
        key = os.path.basename(obj).split(".so")[0]
        by_object[key] = by_object.get(key, 0) + ir
    print("\n| shared object (own instructions) | share |")
    print("|---|---|")
    for key, ir in sorted(by_object.items(), key=lambda kv: -kv[1]):
        if ir / total >= 0.0001:
            print(f"| {key} | {100 * ir / total:.2f} % |")


if __name__ == "__main__":
    main()
