#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Tests for gifexport_host.py against a built library.

    python3 examples/python/test_host.py --lib PATH [unittest options]

The library cannot write video, so the input files are made at test time
with the ffmpeg command-line tool (the one named by GIFEXPORT_FFMPEG, else
the first on PATH); the tests that need them are skipped when there is none.
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
HOST = os.path.join(HERE, "gifexport_host.py")
LIB = os.environ.get("GIFEXPORT_LIB") or os.path.join(HERE, "..", "..", "build",
                                                      "velquart-gifexport.so")
FFMPEG = os.environ.get("GIFEXPORT_FFMPEG") or shutil.which("ffmpeg")
TIMEOUT = 120


def run_host(*args):
    """Runs the host as a user would; returns the CompletedProcess."""
    return subprocess.run([sys.executable, HOST, "--lib", LIB, *args],
                          capture_output=True, text=True, timeout=TIMEOUT)


def make_video(path, seconds):
    subprocess.run([FFMPEG, "-nostdin", "-loglevel", "error", "-y",
                    "-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25",
                    "-t", str(seconds), "-c:v", "mpeg4", path],
                   check=True, timeout=TIMEOUT)


class WithoutInputTest(unittest.TestCase):

    def test_version(self):
        proc = run_host("version")
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertRegex(proc.stdout.strip(), r"^1\.0\.0 \(libavfilter \d+\.\d+\.\d+\)$")

    def test_missing_input_is_refused(self):
        with tempfile.TemporaryDirectory() as tmp:
            out = os.path.join(tmp, "out.gif")
            proc = run_host("convert", os.path.join(tmp, "missing.mp4"), out)
            self.assertEqual(proc.returncode, 2, proc.stderr)
            self.assertIn("cannot open input", proc.stderr)
            self.assertEqual(proc.stdout, "")
            self.assertFalse(os.path.lexists(out))


@unittest.skipUnless(FFMPEG, "ffmpeg command-line tool not found")
class WithInputTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls._tmp = tempfile.TemporaryDirectory()
        cls.tmp = cls._tmp.name
        cls.short = os.path.join(cls.tmp, "in.mp4")
        cls.long = os.path.join(cls.tmp, "long.mp4")
        make_video(cls.short, 3)
        make_video(cls.long, 10)

    @classmethod
    def tearDownClass(cls):
        cls._tmp.cleanup()

    def test_probe_reports_video_stream(self):
        proc = run_host("probe", self.short)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        info = json.loads(proc.stdout)
        self.assertTrue(info["ok"])
        video = [s for s in info["streams"] if s["type"] == "video"]
        self.assertEqual(len(video), 1)
        self.assertEqual((video[0]["width"], video[0]["height"]), (320, 240))

    def test_convert(self):
        out = os.path.join(self.tmp, "out.gif")
        proc = run_host("convert", self.short, out)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        with open(out, "rb") as gif:
            self.assertEqual(gif.read(6), b"GIF89a")
        result = json.loads(proc.stdout)
        self.assertIs(result["ok"], True)
        self.assertEqual(result["width"], 480)
        self.assertEqual(result["out_size_bytes"], os.path.getsize(out))

    def test_cancel_leaves_no_output(self):
        out = os.path.join(self.tmp, "cancelled.gif")
        proc = run_host("convert", self.long, out, "--width", "1920", "--fps", "30",
                        "--cancel-after", "0")
        self.assertEqual(proc.returncode, 130, proc.stderr)
        self.assertEqual(json.loads(proc.stdout)["state"], 4)
        self.assertFalse(os.path.lexists(out))


def main():
    global LIB
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--lib", default=LIB)
    args, rest = parser.parse_known_args()
    LIB = os.path.abspath(args.lib)
    if not os.path.isfile(LIB):
        sys.exit("test_host.py: library not found: %s" % LIB)
    # unittest.main exits non-zero when a test fails or errors.
    unittest.main(argv=[sys.argv[0], *rest])


if __name__ == "__main__":
    main()
