#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Windows zip, dist/velquart-gifexport-<version>-win64.zip: our DLL
# and tool, FFmpeg's DLLs (LGPL build from `scripts/build_ffmpeg.sh win64`),
# import libraries for mingw and MSVC hosts, the header, the licences and a
# short README. Then checks it as a user would: unzipped into an empty folder,
# the tool runs its demo and converts a real MP4 to a non-ASCII name under
# wine, with nothing else on the loader's path.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh g++-mingw-w64-x86-64-posix nasm wine wine64
# The FFmpeg the zip ships: the release of the major versions the library is
# made for. build_ffmpeg.sh prints its prefix and its tarball on the last
# line; a build's progress goes on to stderr.
ffmpeg_version=9.0.2
ffmpeg_prefix=$(bash scripts/build_ffmpeg.sh win64 "$ffmpeg_version" | tee >(cat >&2) | tail -n 1)
ffmpeg_tarball=$(bash scripts/build_ffmpeg.sh fetch "$ffmpeg_version" | tail -n 1)
triple=x86_64-w64-mingw32
export WINEDEBUG=-all

cmake --preset windows -DGIFEXPORT_FFMPEG_PREFIX="$ffmpeg_prefix" > /dev/null
cmake --build --preset windows -j "$(nproc)" --target gifexport gifexport_cli

version=$(sed -n 's/^project(velquart_gifexport VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name=velquart-gifexport-$version-win64
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stage=$work/$name
cmake --install build-windows --prefix "$stage" > /dev/null
cp "$ffmpeg_prefix"/bin/*.dll "$stage/bin/"
"$triple-strip" --strip-unneeded "$stage/bin/velquart-gifexport.dll" "$stage/bin/gifexport.exe"

# Every DLL a shipped binary imports is shipped or part of Windows. The
# mingw-w64 runtime DLLs that FFmpeg imports (winpthread, zlib) are taken from
# the build folder, where the configure copied them, as they are found.
# Windows' own: the kernel and user libraries, the C runtime, the api sets.
system_dll='^(kernel32|user32|advapi32|shell32|ole32|oleaut32|bcrypt|msvcrt|ws2_32|secur32|gdi32|psapi|shlwapi|crypt32|ntdll|api-ms-win-.*)\.dll$'
added=1
while [ "$added" -eq 1 ]; do
  added=0
  for bin in "$stage"/bin/*.dll "$stage"/bin/*.exe; do
    for dll in $("$triple-objdump" -p "$bin" | sed -n 's/^\s*DLL Name: //p'); do
      lower=$(printf '%s' "$dll" | tr 'A-Z' 'a-z')
      [[ $lower =~ $system_dll ]] && continue
      [ -f "$stage/bin/$dll" ] && continue
      if [ -f "build-windows/bin/$dll" ]; then
        cp "build-windows/bin/$dll" "$stage/bin/"
        added=1
        continue
      fi
      echo "package_windows: $(basename "$bin") needs $dll, which is neither shipped nor part of Windows" >&2
      exit 1
    done
  done
done

# Import libraries: velquart-gifexport.dll.a (mingw) comes from the install;
# a .lib for MSVC's linker is made from the .def the link wrote.
cp build-windows/velquart-gifexport.def "$stage/lib/"
"$triple-dlltool" -d "$stage/lib/velquart-gifexport.def" -D velquart-gifexport.dll \
  -m i386:x86-64 -l "$stage/lib/velquart-gifexport.lib"

# Licences: ours, FFmpeg's (LGPL 2.1 or later) with the configure line its
# DLLs were built with, the mingw-w64 runtime's (linked into our binaries,
# and winpthread's DLL) and zlib's when its DLL ships.
mkdir -p "$stage/licenses/FFmpeg"
cp LICENSE "$stage/licenses/velquart-gifexport.txt"
tar -xJf "$ffmpeg_tarball" -C "$work" \
  "ffmpeg-$ffmpeg_version/COPYING.LGPLv2.1" "ffmpeg-$ffmpeg_version/LICENSE.md"
cp "$work/ffmpeg-$ffmpeg_version/COPYING.LGPLv2.1" "$work/ffmpeg-$ffmpeg_version/LICENSE.md" "$stage/licenses/FFmpeg/"
cp "$ffmpeg_prefix/.gifexport-build-stamp" "$stage/licenses/FFmpeg/BUILD.txt"
cp /usr/share/doc/mingw-w64-x86-64-dev/copyright "$stage/licenses/mingw-w64-runtime.txt"
if [ -f "$stage/bin/zlib1.dll" ]; then
  cp /usr/share/doc/libz-mingw-w64/copyright "$stage/licenses/zlib.txt"
fi
# The README names the FFmpeg DLLs as shipped (avcodec-63 and so on).
ffmpeg_dlls=$(cd "$ffmpeg_prefix/bin" && ls av*.dll sw*.dll | sed 's/\.dll$//' | paste -sd, - | sed 's/,/, /g')
sed -e "s/@VERSION@/$version/g" -e "s/@FFMPEG_VERSION@/$ffmpeg_version/g" \
    -e "s/@FFMPEG_DLLS@/$ffmpeg_dlls/g" packaging/windows/README.txt > "$stage/README.txt"
! grep -q '@[A-Z_]*@' "$stage/README.txt" || { echo "package_windows: README.txt has an unfilled field" >&2; exit 1; }

# The C# binding (one source file a project adds) and its example host, for
# .NET and Mono programs that load bin/velquart-gifexport.dll by P/Invoke.
mkdir -p "$stage/dotnet/example"
cp bindings/dotnet/VelquartGifExport.cs "$stage/dotnet/"
cp examples/dotnet/Program.cs examples/dotnet/README.md "$stage/dotnet/example/"

mkdir -p dist
zip=$PWD/dist/$name.zip
rm -f "$zip"
(cd "$stage" && python3 -m zipfile -c "$zip" bin lib include licenses dotnet README.txt)

# The user's check: an empty folder, the zip, wine and nothing else.
try=$work/try
mkdir "$try"
(cd "$try" && python3 -m zipfile -e "$zip" .)
[ -f "$try/dotnet/VelquartGifExport.cs" ] && [ -f "$try/dotnet/example/Program.cs" ] \
  || { echo "package_windows: the zip lacks the C# binding or its example" >&2; exit 1; }
(cd "$try" && wine bin/gifexport.exe demo out.gif > demo.log 2>&1) \
  || { cat "$try/demo.log" >&2; echo "package_windows: the demo failed" >&2; exit 1; }
sample=../shared/corpus/h264_aac_320x240.mp4
if [ -f "$sample" ]; then
  cp "$sample" "$try/in.mp4"
  (cd "$try" && wine bin/gifexport.exe convert in.mp4 "vidéo ü€名.gif" > convert.log 2>&1) \
    || { cat "$try/convert.log" >&2; echo "package_windows: converting an MP4 failed" >&2; exit 1; }
fi
for gif in "$try/out.gif" ${sample:+"$try/vidéo ü€名.gif"}; do
  [ -f "$gif" ] && [ "$(head -c 6 "$gif")" = "GIF89a" ] \
    || { echo "package_windows: no GIF at $gif" >&2; exit 1; }
done
echo "package_windows: $(du -h "$zip" | cut -f1) $zip"
