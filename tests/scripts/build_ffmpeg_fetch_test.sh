#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The tarball handling of scripts/build_ffmpeg.sh: the download from FFmpeg's
# release page (served here from a file:// folder, since the page itself may
# be out of reach), the reuse of an earlier download, and the refusals: a
# digest that does not match the pinned one leaves nothing downloaded,
# unpacked or installed.
#   build_ffmpeg_fetch_test.sh REPO_ROOT
set -euo pipefail
repo=$(cd "$1" && pwd)
script=$repo/scripts/build_ffmpeg.sh
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# A small stand-in release: ffmpeg-0.0.1.tar.xz with one file.
releases=$scratch/releases
mkdir -p "$releases" "$scratch/stage/ffmpeg-0.0.1" "$scratch/no-src"
echo '#!/bin/sh' > "$scratch/stage/ffmpeg-0.0.1/configure"
tar -cJf "$releases/ffmpeg-0.0.1.tar.xz" -C "$scratch/stage" ffmpeg-0.0.1
good=$(sha256sum "$releases/ffmpeg-0.0.1.tar.xz" | cut -d' ' -f1)
wrong=$(printf '%s' "$good" | tr '0-9a-f' '1-9a-f0')
echo "$good  ffmpeg-0.0.1.tar.xz" > "$scratch/good.sha256"
echo "$wrong  ffmpeg-0.0.1.tar.xz" > "$scratch/wrong.sha256"

# Runs the script with an empty source folder, the given cache, digest list
# and release URL, and its temporary files kept in a folder of their own.
run() {  # cache digests url args...
  local cache=$1 digests=$2 url=$3
  shift 3
  mkdir -p "$cache" "$scratch/tmp"
  TMPDIR=$scratch/tmp GIFEXPORT_CACHE=$cache GIFEXPORT_FFMPEG_SRC=$scratch/no-src \
    GIFEXPORT_FFMPEG_DIGESTS=$digests GIFEXPORT_FFMPEG_RELEASES_URL=$url \
    bash "$script" "$@"
}
empty_dir() { [ -z "$(ls -A "$1" 2>/dev/null)" ]; }

# 1. Downloaded into the cache, checked, and reused without the release page.
cache=$scratch/cache1
if out=$(run "$cache" "$scratch/good.sha256" "file://$releases" fetch 0.0.1 2>&1); then
  [ "$(tail -n 1 <<< "$out")" = "$cache/downloads/ffmpeg-0.0.1.tar.xz" ] || fail "fetch printed: $out"
  [ "$(sha256sum < "$cache/downloads/ffmpeg-0.0.1.tar.xz" | cut -d' ' -f1)" = "$good" ] || fail "the download differs"
  [ "$(ls -A "$cache/downloads")" = "ffmpeg-0.0.1.tar.xz" ] || fail "left behind: $(ls -A "$cache/downloads")"
  run "$cache" "$scratch/good.sha256" "file://$scratch/gone" fetch 0.0.1 > /dev/null 2>&1 \
    || fail "the earlier download was not reused"
else
  fail "download: $out"
fi

# 2. A download whose digest differs from the pinned one is refused and
# deleted, and a build stops before unpacking or installing anything.
cache=$scratch/cache2
if out=$(run "$cache" "$scratch/wrong.sha256" "file://$releases" fetch 0.0.1 2>&1); then
  fail "a mismatched download was accepted"
else
  grep -q "sha256 mismatch" <<< "$out" || fail "no mismatch message: $out"
fi
empty_dir "$cache/downloads" || fail "the mismatched download was kept: $(ls -A "$cache/downloads")"
prefix=$scratch/prefix
if GIFEXPORT_FFMPEG_PREFIX=$prefix run "$cache" "$scratch/wrong.sha256" "file://$releases" native 0.0.1 > /dev/null 2>&1; then
  fail "a build went on with a mismatched tarball"
fi
[ ! -e "$prefix" ] || fail "a mismatched tarball left an install in $prefix"
empty_dir "$scratch/tmp" || fail "a mismatched tarball left files in TMPDIR: $(ls -A "$scratch/tmp")"
empty_dir "$cache/downloads" || fail "the build kept the mismatched download"

# 3. A local tarball with the wrong digest is refused, not passed over for a
# download; a version with no pinned digest is refused before any download.
echo "not the release" > "$scratch/no-src/ffmpeg-0.0.1.tar.xz"
if out=$(run "$scratch/cache3" "$scratch/good.sha256" "file://$releases" fetch 0.0.1 2>&1); then
  fail "a mismatched local tarball was accepted"
fi
rm "$scratch/no-src/ffmpeg-0.0.1.tar.xz"
empty_dir "$scratch/cache3/downloads" || fail "a download replaced a mismatched local tarball"
if out=$(run "$scratch/cache4" "$scratch/good.sha256" "file://$releases" fetch 0.0.2 2>&1); then
  fail "a version with no pinned digest was fetched"
else
  grep -q "no pinned digest" <<< "$out" || fail "no message for an unpinned version: $out"
fi

# 4. The pinned digests are those of FFmpeg's own release tarballs: Debian's
# orig tarball, served under FFmpeg's release name, passes the real list.
shared=$repo/../shared/ffmpeg-src/ffmpeg_9.0.2.orig.tar.xz
if [ -f "$shared" ]; then
  cp "$shared" "$releases/ffmpeg-9.0.2.tar.xz"
  run "$scratch/cache5" "$repo/scripts/ffmpeg-releases.sha256" "file://$releases" fetch 9.0.2 > /dev/null 2>&1 \
    || fail "the 9.0.2 release tarball does not match its pinned digest"
else
  echo "note: $shared not here; the pinned 9.0.2 digest is not checked"
fi

[ "$failures" -eq 0 ] || { echo "$failures failure(s)" >&2; exit 1; }
echo "build_ffmpeg fetch: all cases passed"
