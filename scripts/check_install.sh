#!/usr/bin/env bash
# Checks the installed tree: builds the default preset, installs it into a
# temporary prefix, then builds and runs the consumer in packaging/consumer
# twice, once through pkg-config with the plain C compiler and once through
# the CMake package, and runs the installed command-line tool.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

echo "=== build (default preset) ==="
[ -f build/CMakeCache.txt ] || cmake --preset default > /dev/null
# Only what gets installed is built; the test programs are not needed here.
cmake --build --preset default -j "$jobs" --target gifexport gifexport_cli

echo "=== install into $prefix ==="
cmake --install build --prefix "$prefix"
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' build/CMakeCache.txt)
libdir=$prefix/${libdir:-lib}
for f in "$libdir/velquart-gifexport.so" "$prefix/include/gifexport.h" "$prefix/bin/gifexport" \
         "$libdir/pkgconfig/velquart-gifexport.pc" \
         "$libdir/cmake/VelquartGifexport/VelquartGifexportConfig.cmake" \
         "$libdir/cmake/VelquartGifexport/VelquartGifexportConfigVersion.cmake"; do
  [ -e "$f" ] || { echo "missing after install: $f" >&2; exit 1; }
done
# Nothing installed may point back into the source or build tree.
if grep -rlF "$root" "$libdir/pkgconfig" "$libdir/cmake"; then
  echo "installed package files refer to $root" >&2
  exit 1
fi

echo "=== installed tool ==="
"$prefix/bin/gifexport" --version
# The tool must load the installed library, not the one in the build tree.
loaded=$(ldd "$prefix/bin/gifexport" | sed -n 's/.*velquart-gifexport\.so => \([^ ]*\).*/\1/p')
if [ "$(realpath "$loaded")" != "$(realpath "$libdir/velquart-gifexport.so")" ]; then
  echo "installed tool loads '$loaded' instead of the installed library" >&2
  exit 1
fi

echo "=== consumer through pkg-config ==="
export PKG_CONFIG_PATH=$libdir/pkgconfig
echo "pkg-config: $(pkg-config --modversion velquart-gifexport)"
# shellcheck disable=SC2046  # the flags are meant to split into words
cc -std=c99 -Wall -Wextra -Werror -o "$work/consumer-pc" packaging/consumer/main.c \
   $(pkg-config --cflags --libs velquart-gifexport) -Wl,-rpath,"$libdir"
"$work/consumer-pc"

echo "=== consumer through find_package ==="
cmake -S packaging/consumer -B "$work/consumer-build" -DCMAKE_PREFIX_PATH="$prefix" > /dev/null
cmake --build "$work/consumer-build" -j "$jobs"
"$work/consumer-build/consumer"

echo "install check: passed"
