#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds FFmpeg 7.1.5 from the source tarball in ../shared/ffmpeg-src and
# installs it into a prefix outside the work tree. The install is reused while
# the tarball's digest and the configure line are unchanged: both are written
# to a stamp file in the prefix, last, so an interrupted build is never taken
# for a finished one.
#
#   bash scripts/build_ffmpeg.sh          for this machine (the `ffmpeg7`
#       preset): shared libraries plus the ffmpeg and ffprobe programs
#   bash scripts/build_ffmpeg.sh win64    cross-built for 64-bit Windows with
#       mingw-w64 (the `windows` preset and the Windows zip): LGPL DLLs only
#
#   GIFEXPORT_FFMPEG_PREFIX  where to install (default below; the Windows
#                            build reads GIFEXPORT_FFMPEG_WIN64_PREFIX)
#   GIFEXPORT_FFMPEG_SRC     folder with the tarball and its .dsc
#   JOBS                     parallel make jobs (default: nproc)
# Prints the prefix on its last line.
set -euo pipefail
cd "$(dirname "$0")/.."

version=7.1.5
target=${1:-native}
src_dir=${GIFEXPORT_FFMPEG_SRC:-$PWD/../shared/ffmpeg-src}
jobs=${JOBS:-$(nproc)}
tarball=$src_dir/ffmpeg_$version.orig.tar.xz
dsc=$src_dir/ffmpeg_$version-0+deb13u1.dsc

case "$target" in
  native)
    prefix=${GIFEXPORT_FFMPEG_PREFIX:-$HOME/.cache/velquart-gifexport/ffmpeg-$version}
    # GPL with libx264, because the test fixtures encode H.264; everything
    # else stays at FFmpeg's defaults so the corpus finds the usual decoders.
    # The rpath lets the installed programs find these libraries rather than
    # the system's.
    configure_args=(--prefix="$prefix" --enable-shared --disable-static --enable-rpath
                    --enable-gpl --enable-libx264 --disable-doc)
    packages=(nasm libx264-dev)
    built_check=bin/ffmpeg
    ;;
  win64)
    prefix=${GIFEXPORT_FFMPEG_WIN64_PREFIX:-$HOME/.cache/velquart-gifexport/ffmpeg-$version-win64}
    # What ships beside our DLL, so LGPL only: no GPL parts, and of the
    # external libraries only zlib (PNG and APNG, compressed Matroska tracks
    # and MOV headers need it; --disable-autodetect keeps the build from
    # picking up anything else).
    # Every native decoder, demuxer and parser stays in, so a host can read
    # what a user has; the assembly stays in (nasm) because decoding speed is
    # most of a job's time. Trimmed to what the library runs: the file
    # protocol, the GIF encoder and muxer, the chain's filters. The other
    # encoders and muxers are the ones the test fixtures write, and
    # testsrc2 draws the tool's built-in sample.
    configure_args=(--prefix="$prefix" --enable-shared --disable-static --disable-doc
                    --disable-programs --disable-debug --disable-autodetect --enable-w32threads --enable-zlib
                    --arch=x86_64 --target-os=mingw32 --cross-prefix=x86_64-w64-mingw32-
                    --cc=x86_64-w64-mingw32-gcc-posix --cxx=x86_64-w64-mingw32-g++-posix
                    --disable-network --disable-avdevice --disable-hwaccels
                    --disable-protocols --enable-protocol=file
                    --disable-encoders --enable-encoder=gif,mpeg4,ffv1,mjpeg,mpeg2video,aac,mp2,pcm_s16le,png,rawvideo
                    --disable-muxers --enable-muxer=gif,mp4,mov,matroska,mpegts,nut,avi,h264,m4v,wav,ffmetadata
                    --disable-filters
                    --enable-filter=buffer,buffersink,format,fps,scale,split,palettegen,paletteuse,hflip,vflip,transpose,testsrc2,null)
    packages=(nasm gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix libz-mingw-w64-dev)
    built_check=bin/avcodec-61.dll
    ;;
  *) echo "build_ffmpeg: unknown target '$target' (native or win64)" >&2; exit 2 ;;
esac

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
   && [ -f "$prefix/$built_check" ] && [ -f "$prefix/lib/pkgconfig/libavcodec.pc" ]; then
  echo "build_ffmpeg: FFmpeg $version ($target) already built in $prefix"
  echo "$prefix"
  exit 0
fi

bash scripts/setup.sh "${packages[@]}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "=== FFmpeg $version ($target): unpack ==="
tar -xJf "$tarball" -C "$work"
srcdir=$work/ffmpeg-$version
[ -d "$srcdir" ] || { echo "build_ffmpeg: tarball did not unpack to ffmpeg-$version" >&2; exit 1; }

echo "=== FFmpeg $version ($target): configure ${configure_args[*]} ==="
mkdir "$work/build"
(cd "$work/build" && "$srcdir/configure" "${configure_args[@]}" > configure.log) || {
  tail -n 30 "$work/build/configure.log" >&2
  tail -n 30 "$work/build/ffbuild/config.log" >&2 || true
  exit 1
}

echo "=== FFmpeg $version ($target): build (-j$jobs) ==="
make -C "$work/build" -j "$jobs" > "$work/make.log" 2>&1 || { tail -n 40 "$work/make.log" >&2; exit 1; }

# Installed into a staging tree first, then moved into place, so the prefix
# never holds a half-installed mix of an old and a new build.
echo "=== FFmpeg $version ($target): install into $prefix ==="
make -C "$work/build" install DESTDIR="$work/stage" > "$work/install.log" 2>&1 \
  || { tail -n 40 "$work/install.log" >&2; exit 1; }
rm -rf "$prefix"
mkdir -p "$(dirname "$prefix")"
mv "$work/stage$prefix" "$prefix"
printf '%s\n' "$stamp" > "$stamp_file"
[ "$target" != native ] || "$prefix/bin/ffmpeg" -hide_banner -version | head -n 1
echo "$prefix"
