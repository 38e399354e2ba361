#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds FFmpeg 7.1.5 from the source tarball in ../shared/ffmpeg-src (shared
# libraries plus the ffmpeg and ffprobe programs) and installs it into a
# prefix outside the work tree, for the `ffmpeg7` preset. The install is
# reused while the tarball's digest and the configure line are unchanged: both
# are written to a stamp file in the prefix, last, so an interrupted build is
# never taken for a finished one.
#
#   GIFEXPORT_FFMPEG_PREFIX  where to install (default below)
#   GIFEXPORT_FFMPEG_SRC     folder with the tarball and its .dsc
#   JOBS                     parallel make jobs (default: nproc)
# Prints the prefix on its last line.
set -euo pipefail
cd "$(dirname "$0")/.."

version=7.1.5
src_dir=${GIFEXPORT_FFMPEG_SRC:-$PWD/../shared/ffmpeg-src}
prefix=${GIFEXPORT_FFMPEG_PREFIX:-$HOME/.cache/velquart-gifexport/ffmpeg-$version}
jobs=${JOBS:-$(nproc)}
tarball=$src_dir/ffmpeg_$version.orig.tar.xz
dsc=$src_dir/ffmpeg_$version-0+deb13u1.dsc

# GPL with libx264, because the test fixtures encode H.264; everything else
# stays at FFmpeg's defaults so the corpus finds the usual decoders. The rpath
# lets the installed programs find these libraries rather than the system's.
configure_args=(--prefix="$prefix" --enable-shared --disable-static --enable-rpath
                --enable-gpl --enable-libx264 --disable-doc)

[ -f "$tarball" ] || { echo "build_ffmpeg: missing $tarball" >&2; exit 1; }
[ -f "$dsc" ] || { echo "build_ffmpeg: missing $dsc" >&2; exit 1; }

# The digest that the .dsc lists for the tarball, from its Checksums-Sha256 block.
expected=$(awk -v f="$(basename "$tarball")" '
  /^Checksums-Sha256:/ { inblock = 1; next }
  /^[^ ]/              { inblock = 0 }
  inblock && $3 == f   { print $1 }' "$dsc")
[ -n "$expected" ] || { echo "build_ffmpeg: no sha256 for $(basename "$tarball") in $dsc" >&2; exit 1; }
actual=$(sha256sum "$tarball" | cut -d' ' -f1)
if [ "$actual" != "$expected" ]; then
  echo "build_ffmpeg: sha256 mismatch for $tarball: $actual, .dsc says $expected" >&2
  exit 1
fi

stamp_file=$prefix/.gifexport-build-stamp
stamp="source-sha256: $actual
configure: ${configure_args[*]}"
if [ -f "$stamp_file" ] && [ "$(cat "$stamp_file")" = "$stamp" ] \
   && [ -x "$prefix/bin/ffmpeg" ] && [ -f "$prefix/lib/pkgconfig/libavcodec.pc" ]; then
  echo "build_ffmpeg: FFmpeg $version already built in $prefix"
  echo "$prefix"
  exit 0
fi

bash scripts/setup.sh nasm libx264-dev

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "=== FFmpeg $version: unpack ==="
tar -xJf "$tarball" -C "$work"
srcdir=$work/ffmpeg-$version
[ -d "$srcdir" ] || { echo "build_ffmpeg: tarball did not unpack to ffmpeg-$version" >&2; exit 1; }

echo "=== FFmpeg $version: configure ${configure_args[*]} ==="
mkdir "$work/build"
(cd "$work/build" && "$srcdir/configure" "${configure_args[@]}" > configure.log) || {
  tail -n 30 "$work/build/configure.log" >&2
  tail -n 30 "$work/build/ffbuild/config.log" >&2 || true
  exit 1
}

echo "=== FFmpeg $version: build (-j$jobs) ==="
make -C "$work/build" -j "$jobs" > "$work/make.log" 2>&1 || { tail -n 40 "$work/make.log" >&2; exit 1; }

# Installed into a staging tree first, then moved into place, so the prefix
# never holds a half-installed mix of an old and a new build.
echo "=== FFmpeg $version: install into $prefix ==="
make -C "$work/build" install DESTDIR="$work/stage" > "$work/install.log" 2>&1 \
  || { tail -n 40 "$work/install.log" >&2; exit 1; }
rm -rf "$prefix"
mkdir -p "$(dirname "$prefix")"
mv "$work/stage$prefix" "$prefix"
printf '%s\n' "$stamp" > "$stamp_file"
"$prefix/bin/ffmpeg" -hide_banner -version | head -n 1
echo "$prefix"
