#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Compiles every library source for 64-bit Windows with the mingw-w64 cross
# compiler, the Win32 thread and file branches selected, against the FFmpeg
# headers installed here. Objects only: linking needs Windows FFmpeg libraries.
# Any warning fails the check.
set -euo pipefail
cd "$(dirname "$0")/.."
cxx=x86_64-w64-mingw32-g++-posix
bash scripts/setup.sh g++-mingw-w64-x86-64-posix
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
count=0
# The FFmpeg headers come after mingw's own, so the C library is Windows'.
for src in $(sed -n 's#^  \(src/.*\.cpp\)$#\1#p' CMakeLists.txt); do
  "$cxx" -std=c++17 -Wall -Wextra -Werror -DGIFEXPORT_BUILD -Iinclude -Isrc \
    -idirafter /usr/include/x86_64-linux-gnu -idirafter /usr/include \
    -c "$src" -o "$out/$(basename "$src").obj"
  count=$((count + 1))
done
[ "$count" -gt 10 ] || { echo "windows check: found only $count sources"; exit 1; }
echo "windows check: $count sources compiled for Windows without warnings"
