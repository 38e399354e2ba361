#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Command-line host for velquart-gifexport, written with ctypes only.

    gifexport_host.py [--lib PATH] version
    gifexport_host.py [--lib PATH] probe FILE
    gifexport_host.py [--lib PATH] convert IN OUT [--start MS] [--end MS]
                      [--width N] [--fps N] [--cancel-after SECONDS]

The library is taken from --lib, else from $GIFEXPORT_LIB, else from
../../build/velquart-gifexport.so next to this script.

convert exits 0 when the job is done, 1 when it failed, 130 when it was
cancelled (Ctrl-C or --cancel-after) and 2 when the library refused to start
it (or could not be loaded).
"""

import argparse
import ctypes
import json
import os
import signal
import sys
import time

DEFAULT_LIB = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                           "..", "..", "build", "velquart-gifexport.so")

# Job states reported by gifexport_status (1 is never used).
STATE_PENDING, STATE_RUNNING = 0, 2
STATE_DONE, STATE_CANCELLED, STATE_FAILED = 3, 4, 5
FINAL_STATES = (STATE_DONE, STATE_CANCELLED, STATE_FAILED)

# Negative results of gifexport_start.
START_ERRORS = {
    -1: "bad arguments or empty window",
    -2: "both slots are busy",
    -3: "cannot open input",
    -4: "cannot start the worker thread",
    -5: "input has no video stream",
}

EXIT_DONE, EXIT_FAILED, EXIT_REFUSED, EXIT_CANCELLED = 0, 1, 2, 130

POLL_SECONDS = 0.1


def load_library(path):
    """Loads the library and declares the exact prototype of each export.

    Every const char * result is declared c_char_p, so ctypes copies the
    library-owned text into a Python bytes object at once; the library's
    buffer is never kept, written or freed.
    """
    # An absolute path keeps dlopen from searching the system directories
    # for a bare file name.
    lib = ctypes.CDLL(os.path.abspath(path))
    c_str, c_int, c_int64 = ctypes.c_char_p, ctypes.c_int, ctypes.c_int64
    prototypes = {
        "gifexport_probe": ([c_str], c_str),
        "gifexport_start": ([c_str, c_str, c_int64, c_int64, c_int, c_int], c_int),
        "gifexport_status": ([c_int], c_int),
        "gifexport_progress": ([c_int], c_str),
        "gifexport_result": ([c_int], c_str),
        "gifexport_cancel": ([c_int], None),
        "gifexport_free": ([c_int], None),
        "gifexport_version": ([], c_str),
    }
    for name, (argtypes, restype) in prototypes.items():
        func = getattr(lib, name)
        func.argtypes = argtypes
        func.restype = restype
    return lib


def text(raw):
    """Library text (already copied to bytes by ctypes) as str."""
    return (raw or b"").decode("utf-8", errors="replace")


def report(raw):
    """Library JSON text as a Python object."""
    return json.loads(text(raw))


def cmd_version(lib, _args):
    print(text(lib.gifexport_version()))
    return 0


def cmd_probe(lib, args):
    info = report(lib.gifexport_probe(os.fsencode(args.file)))
    print(json.dumps(info, indent=2))
    return 0 if info.get("ok") else 1


class _CtrlC:
    """Turns SIGINT into a flag for the duration of a job.

    A KeyboardInterrupt raised by the default handler can land right after
    gifexport_start returns and before its id is stored, which would leave a
    running job that is never freed. Recording the key press instead lets the
    polling loop treat it exactly like --cancel-after.
    """

    def __init__(self):
        self.pressed = False
        self._previous = None

    def _handler(self, _signum, _frame):
        self.pressed = True

    def __enter__(self):
        self._previous = signal.signal(signal.SIGINT, self._handler)
        return self

    def __exit__(self, *_exc):
        signal.signal(signal.SIGINT, self._previous)
        return False


def _show_progress(progress):
    percent = float(progress.get("percent", 0.0))
    phase = progress.get("phase", "?")
    frames = progress.get("frames", 0)
    # \r plus trailing blanks rewrites the one line in place.
    sys.stderr.write("\r%5.1f%%  %-6s  frames %-6d   " % (percent, phase, frames))
    sys.stderr.flush()


def _wait_for_final_state(lib, job, cancel_after, ctrl_c):
    """Polls the job until it ends; cancels once on Ctrl-C or time-out."""
    started = time.monotonic()
    cancel_sent = False
    while True:
        state = lib.gifexport_status(job)
        _show_progress(report(lib.gifexport_progress(job)))
        if state in FINAL_STATES or state < 0:
            sys.stderr.write("\n")
            return state
        timed_out = (cancel_after is not None
                     and time.monotonic() - started >= cancel_after)
        if not cancel_sent and (ctrl_c.pressed or timed_out):
            # Only a request: the worker stops at its next cancel point and
            # the loop keeps polling until the job reports a final state.
            lib.gifexport_cancel(job)
            cancel_sent = True
            sys.stderr.write("\ncancelling...\n")
            continue
        time.sleep(POLL_SECONDS)


def cmd_convert(lib, args):
    with _CtrlC() as ctrl_c:
        job = lib.gifexport_start(os.fsencode(args.input), os.fsencode(args.output),
                                  args.start, args.end, args.width, args.fps)
        if job < 0:
            reason = START_ERRORS.get(job, "unknown error")
            print("gifexport: start refused (%d): %s" % (job, reason), file=sys.stderr)
            return EXIT_REFUSED
        try:
            state = _wait_for_final_state(lib, job, args.cancel_after, ctrl_c)
            # The result must be read before gifexport_free: afterwards the id
            # is no longer valid.
            result = report(lib.gifexport_result(job))
        finally:
            # Always release the slot; this also waits for the worker thread
            # and removes the output file unless the job ended done.
            lib.gifexport_free(job)

    print(json.dumps(result, indent=2))
    if state == STATE_DONE:
        return EXIT_DONE
    if state == STATE_CANCELLED:
        print("gifexport: cancelled", file=sys.stderr)
        return EXIT_CANCELLED
    print("gifexport: failed: %s" % result.get("error", "state %d" % state), file=sys.stderr)
    return EXIT_FAILED


def _non_negative_seconds(value):
    seconds = float(value)
    if seconds < 0:
        raise argparse.ArgumentTypeError("must be 0 or more")
    return seconds


def build_parser():
    parser = argparse.ArgumentParser(description="Convert a stretch of video into an animated GIF.")
    parser.add_argument("--lib", default=os.environ.get("GIFEXPORT_LIB") or DEFAULT_LIB,
                        help="path of velquart-gifexport.so (default: $GIFEXPORT_LIB or %(default)s)")
    sub = parser.add_subparsers(dest="command", required=True)

    sub.add_parser("version", help="print the library version").set_defaults(run=cmd_version)

    probe = sub.add_parser("probe", help="describe a media file as JSON")
    probe.add_argument("file")
    probe.set_defaults(run=cmd_probe)

    convert = sub.add_parser("convert", help="convert IN into the GIF OUT")
    convert.add_argument("input", metavar="IN")
    convert.add_argument("output", metavar="OUT")
    convert.add_argument("--start", type=int, default=0, metavar="MS",
                         help="window start in ms (default 0)")
    convert.add_argument("--end", type=int, default=-1, metavar="MS",
                         help="window end in ms; negative means the end of the input")
    convert.add_argument("--width", type=int, default=0, metavar="N",
                         help="GIF width, 64..1920; 0 lets the library pick 480")
    convert.add_argument("--fps", type=int, default=0, metavar="N",
                         help="frame rate, 1..30; 0 lets the library pick 15")
    convert.add_argument("--cancel-after", type=_non_negative_seconds, default=None,
                         metavar="SECONDS", help="cancel the job after this many seconds")
    convert.set_defaults(run=cmd_convert)
    return parser


def main(argv=None):
    args = build_parser().parse_args(argv)
    try:
        lib = load_library(args.lib)
    except OSError as err:
        print("gifexport: cannot load library %s: %s" % (args.lib, err), file=sys.stderr)
        return EXIT_REFUSED
    return args.run(lib, args)


if __name__ == "__main__":
    sys.exit(main())
