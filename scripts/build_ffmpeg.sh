#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds an FFmpeg release from its source tarball and installs it into a
# prefix outside the work tree. The install is reused while the tarball's
# digest and the configure line are unchanged: both are written to a stamp
# file in the prefix, last, so an interrupted build is never taken for a
# finished one. The stamp file also marks the prefix as this script's: a
# prefix is filled only when it is missing, empty or has that file, and any
# other is refused untouched.
#
#   bash scripts/build_ffmpeg.sh [native|win64|fetch] [VERSION]
#
#   native   for this machine (the `ffmpeg9` and `ffmpeg7` presets): shared
#            libraries plus the ffmpeg and ffprobe programs
#   win64    cross-built for 64-bit Windows with mingw-w64 (the `windows`
#            preset and the Windows zip): LGPL DLLs only
#   fetch    only finds (or downloads) and checks the tarball; prints its path
#   VERSION  one listed in scripts/ffmpeg-releases.sha256 (default 9.0.2)
#
# The tarball is Debian's ffmpeg_VERSION.orig.tar.xz or FFmpeg's
# ffmpeg-VERSION.tar.xz from ../shared/ffmpeg-src (or $GIFEXPORT_FFMPEG_SRC),
# else one downloaded earlier into the cache, else it is downloaded from
# FFmpeg's release page into the cache. Whatever its origin it is checked
# against the digest pinned in scripts/ffmpeg-releases.sha256 before anything
# is unpacked; a mismatch stops the script and a mismatched download is
# deleted. What is checked is a private copy, and that copy is what is
# unpacked, so a tarball replaced meanwhile is never built.
#
#   GIFEXPORT_CACHE                cache root (default ~/.cache/velquart-gifexport);
#                                  installs go to ffmpeg-VERSION[-win64] in it
#   GIFEXPORT_FFMPEG_PREFIX        install prefix of a native build instead
#   GIFEXPORT_FFMPEG_WIN64_PREFIX  install prefix of a win64 build instead
#                                  (a relative prefix counts from the repo root)
#   GIFEXPORT_FFMPEG_SRC           folder with the tarball
#   GIFEXPORT_FFMPEG_RELEASES_URL  where to download from (default
#                                  https://ffmpeg.org/releases; file:// works)
#   GIFEXPORT_FFMPEG_DIGESTS       the digest list (default the one in scripts/)
#   JOBS                           parallel make jobs (default: nproc)
# Prints the prefix (for fetch: the tarball) on its last line.
set -euo pipefail
cd "$(dirname "$0")/.."

target=${1:-native}
version=${2:-9.0.2}
cache=${GIFEXPORT_CACHE:-$HOME/.cache/velquart-gifexport}
src_dir=${GIFEXPORT_FFMPEG_SRC:-$PWD/../shared/ffmpeg-src}
releases_url=${GIFEXPORT_FFMPEG_RELEASES_URL:-https://ffmpeg.org/releases}
digests=${GIFEXPORT_FFMPEG_DIGESTS:-$PWD/scripts/ffmpeg-releases.sha256}
jobs=${JOBS:-$(nproc)}
release_name=ffmpeg-$version.tar.xz

die() { echo "build_ffmpeg: $*" >&2; exit 1; }

case "$target" in native|win64|fetch) ;; *) echo "build_ffmpeg: unknown target '$target' (native, win64 or fetch)" >&2; exit 2 ;; esac
[[ $version =~ ^[0-9]+(\.[0-9]+)+$ ]] || die "'$version' is not a release number"

expected=$(awk -v f="$release_name" '!/^#/ && $2 == f { print $1 }' "$digests")
[ -n "$expected" ] || die "FFmpeg $version has no pinned digest in $digests"

# From standard input: given a name, sha256sum escapes a backslash in it and
# marks the line with a leading backslash.
sha256_of() { sha256sum < "$1" | cut -d' ' -f1; }

# Private room for the tarball's copy and the build; gone when the script ends.
work=$(mktemp -d)
partial=""
cleanup() {
  rm -rf "$work"
  [ -z "$partial" ] || rm -f "$partial"
}
trap cleanup EXIT
copy=$work/$release_name

# The tarball: a local one if there is one, else a download. A local tarball
# with the wrong digest is refused rather than passed over, since it means the
# folder holds something other than what its name says. Each is copied into
# the private folder first and the copy is checked.
tarball=""
for candidate in "$src_dir/ffmpeg_$version.orig.tar.xz" "$src_dir/$release_name" "$cache/downloads/$release_name"; do
  [ -f "$candidate" ] || continue
  cp -- "$candidate" "$copy"
  actual=$(sha256_of "$copy")
  [ "$actual" = "$expected" ] || die "sha256 mismatch for $candidate: $actual, pinned $expected"
  tarball=$candidate
  break
done
if [ -z "$tarball" ]; then
  command -v curl > /dev/null || bash scripts/setup.sh curl ca-certificates
  echo "=== FFmpeg $version: download $releases_url/$release_name ===" >&2
  curl -fsSL --retry 3 -o "$copy" "$releases_url/$release_name" \
    || die "could not download $releases_url/$release_name"
  actual=$(sha256_of "$copy")
  [ "$actual" = "$expected" ] \
    || die "sha256 mismatch for the download of $releases_url/$release_name: $actual, pinned $expected; deleted"
  # Kept for later runs, which check it again; it appears under its name only
  # once complete.
  mkdir -p "$cache/downloads"
  partial=$(mktemp "$cache/downloads/.$release_name.XXXXXX")
  cp -- "$copy" "$partial"
  mv -- "$partial" "$cache/downloads/$release_name"
  partial=""
  tarball=$cache/downloads/$release_name
fi
if [ "$target" = fetch ]; then
  echo "$tarball"
  exit 0
fi

# The prefix as the path it is installed at: absolute (configure writes it
# into the libraries and pkg-config files), without . or .. parts.
absolute() { realpath -ms -- "$1"; }

case "$target" in
  native)
    prefix=$(absolute "${GIFEXPORT_FFMPEG_PREFIX:-$cache/ffmpeg-$version}")
    prefix_variable=GIFEXPORT_FFMPEG_PREFIX
    # GPL with libx264, because the test fixtures encode H.264. Every decoder,
    # demuxer and parser stays, so the corpus reads as with any FFmpeg; the
    # encoders and muxers are the ones the fixtures write and the GIF's, the
    # filters are the library's chain plus what the ffmpeg program inserts
    # itself (trim for -t, rotation, cropping, audio conversion), and lavfi
    # is the one device, for `-f lavfi -i testsrc2`. The rpath lets the
    # installed programs find these libraries rather than the system's.
    configure_args=(--prefix="$prefix" --enable-shared --disable-static --enable-rpath
                    --enable-gpl --enable-libx264 --disable-doc --disable-debug
                    --disable-autodetect --enable-zlib
                    --disable-network --disable-hwaccels
                    --disable-indevs --enable-indev=lavfi --disable-outdevs
                    --disable-encoders --enable-encoder=gif,libx264,mpeg4,ffv1,mjpeg,mpeg2video,aac,mp2,pcm_s16le,png,rawvideo
                    --disable-muxers --enable-muxer=gif,mp4,mov,matroska,mpegts,nut,avi,flv,h264,m4v,wav,ffmetadata
                    --disable-filters
                    --enable-filter=buffer,buffersink,abuffer,abuffersink,format,aformat,fps,scale,split,palettegen,paletteuse,hflip,vflip,transpose,rotate,crop,trim,atrim,setpts,asetpts,aresample,testsrc2,null,anull)
    packages=(nasm libx264-dev zlib1g-dev)
    built_check=bin/ffmpeg
    ;;
  win64)
    prefix=$(absolute "${GIFEXPORT_FFMPEG_WIN64_PREFIX:-$cache/ffmpeg-$version-win64}")
    prefix_variable=GIFEXPORT_FFMPEG_WIN64_PREFIX
    # What ships beside our DLL, so LGPL only: no GPL parts, and of the
    # external libraries only zlib (PNG and APNG, compressed Matroska tracks
    # and MOV headers need it; --disable-autodetect keeps the build from
    # picking up anything else).
    # Every native decoder, demuxer and parser stays in, so a host can read
    # what a user has; the assembly stays in (nasm) because decoding speed is
    # most of a job's time. Trimmed to what the library runs: the file
    # protocol, the GIF encoder and muxer, the chain's filters. The other
    # encoders and muxers are the ones the test fixtures write, and
    # testsrc2 draws the tool's built-in sample. libgcc is linked in, so no
    # DLL needs libgcc_s_seh-1.dll (9.0's swscale divides 128-bit numbers,
    # which gcc leaves to libgcc).
    configure_args=(--prefix="$prefix" --enable-shared --disable-static --disable-doc --extra-ldflags=-static-libgcc
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
    built_check=bin/avformat-*.dll
    ;;
esac

built() { compgen -G "$prefix/$built_check" > /dev/null && [ -f "$prefix/lib/pkgconfig/libavcodec.pc" ]; }
stamp_name=.gifexport-build-stamp
stamp_file=$prefix/$stamp_name
stamp="source-sha256: $expected
configure: ${configure_args[*]}"
if [ -f "$stamp_file" ] && [ "$(cat "$stamp_file")" = "$stamp" ] && built; then
  echo "build_ffmpeg: FFmpeg $version ($target) already built in $prefix"
  echo "$prefix"
  exit 0
fi

# What stands at the prefix: missing, empty, ours (a folder with the stamp
# file, finished or not) or foreign (anything else, a file included).
prefix_kind() {
  local entries
  if [ ! -e "$prefix" ] && [ ! -L "$prefix" ]; then echo missing
  elif [ ! -d "$prefix" ]; then echo foreign
  elif [ -f "$stamp_file" ]; then echo ours
  elif entries=$(ls -A -- "$prefix") && [ -z "$entries" ]; then echo empty
  else echo foreign
  fi
}
check_prefix() {
  [ "$(prefix_kind)" != foreign ] \
    || die "refusing to install into $prefix: something other than a build of this script stands there (it has no $stamp_name), and installing would delete it. Choose a new or empty folder ($prefix_variable)."
}
check_prefix

bash scripts/setup.sh "${packages[@]}"

echo "=== FFmpeg $version ($target): unpack $tarball (checked copy) ==="
tar -xJf "$copy" -C "$work"
srcdir=$work/ffmpeg-$version
[ -d "$srcdir" ] || die "$tarball did not unpack to ffmpeg-$version"

echo "=== FFmpeg $version ($target): configure ${configure_args[*]} ==="
mkdir "$work/build"
(cd "$work/build" && "$srcdir/configure" "${configure_args[@]}" > configure.log) || {
  tail -n 30 "$work/build/configure.log" >&2
  tail -n 30 "$work/build/ffbuild/config.log" >&2 || true
  exit 1
}

echo "=== FFmpeg $version ($target): build (-j$jobs) ==="
started=$SECONDS
make -C "$work/build" -j "$jobs" > "$work/make.log" 2>&1 || { tail -n 40 "$work/make.log" >&2; exit 1; }

# Installed into a staging tree first, then moved into place, so the prefix
# never holds a half-installed mix of an old and a new build. Configure wrote
# the prefix into the libraries (rpath) and the pkg-config files, so the tree
# goes to exactly that path. The prefix is looked at again, as the build took
# a while; an old build of ours in it is emptied first. The stamp file goes
# in before anything else, saying unfinished, so an interrupted move leaves a
# prefix that is ours to replace but never taken for a finished build.
echo "=== FFmpeg $version ($target): install into $prefix ==="
make -C "$work/build" install DESTDIR="$work/stage" > "$work/install.log" 2>&1 \
  || { tail -n 40 "$work/install.log" >&2; exit 1; }
check_prefix
mkdir -p "$prefix"
echo "unfinished" > "$stamp_file"
find -H "$prefix" -mindepth 1 -maxdepth 1 ! -name "$stamp_name" -exec rm -rf -- {} +
(shopt -s dotglob && mv -- "$work/stage$prefix"/* "$prefix"/)
printf '%s\n' "$stamp" > "$stamp_file"
built || die "the install in $prefix lacks $built_check"
echo "build_ffmpeg: FFmpeg $version ($target) built in $((SECONDS - started)) s"
[ "$target" != native ] || "$prefix/bin/ffmpeg" -hide_banner -version | head -n 1
echo "$prefix"
