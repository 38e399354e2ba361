#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks the installed tree: builds the default preset, installs it into a
# temporary prefix, checks the library's SONAME and links, then builds and
# runs the consumer in packaging/consumer twice, once through pkg-config with
# the plain C compiler and once through the CMake package, and runs the
# installed command-line tool, which must carry its RUNPATH. Then, in
# temporary build trees: the RUNPATH default per install prefix, a /usr
# build installed with DESTDIR whose tool has no RUNPATH, and a library-only
# build configured without the tool's and the tests' dependencies.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

echo "=== build (default preset) ==="
cmake --preset default > /dev/null
# Only what gets installed is built; the test programs are not needed here.
cmake --build --preset default -j "$jobs" --target gifexport gifexport_cli

echo "=== install into $prefix ==="
cmake --install build --prefix "$prefix"
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' build/CMakeCache.txt)
libdir=$prefix/${libdir:-lib}
for f in "$libdir/velquart-gifexport.so.1.0.0" "$prefix/include/gifexport.h" "$prefix/bin/gifexport" \
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

echo "=== SONAME and links ==="
# The file carries the ABI version; velquart-gifexport.so.1 (the SONAME, what
# a linked program records), velquart-gifexport.so (the name a host loads
# and a consumer links with) and libvelquart-gifexport.so (the name Mono,
# .NET, ctypes.util.find_library and -lvelquart-gifexport look for) are
# symbolic links to it.
soname=$(readelf -d "$libdir/velquart-gifexport.so.1.0.0" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = velquart-gifexport.so.1 ] || { echo "SONAME is '$soname'" >&2; exit 1; }
for link in velquart-gifexport.so.1 velquart-gifexport.so libvelquart-gifexport.so; do
  [ -L "$libdir/$link" ] || { echo "$libdir/$link is not a symbolic link" >&2; exit 1; }
  [ "$(realpath "$libdir/$link")" = "$(realpath "$libdir/velquart-gifexport.so.1.0.0")" ] ||
    { echo "$libdir/$link does not lead to velquart-gifexport.so.1.0.0" >&2; exit 1; }
done
echo "SONAME $soname; velquart-gifexport.so, .so.1 and libvelquart-gifexport.so link to .so.1.0.0"

# Prints the RUNPATH (or RPATH) of an ELF file, nothing when it has none.
runpath() { readelf -d "$1" | sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]/\2/p'; }

echo "=== installed tool ==="
"$prefix/bin/gifexport" --version
rp=$(runpath "$prefix/bin/gifexport")
# shellcheck disable=SC2016  # $ORIGIN is the loader's, not the shell's
[ "$rp" = '$ORIGIN/../lib' ] || [ "$rp" = "\$ORIGIN/../${libdir#"$prefix/"}" ] ||
  { echo "installed tool's RUNPATH is '$rp'" >&2; exit 1; }
echo "tool RUNPATH: $rp"
# The tool must load the installed library, not the one in the build tree.
loaded=$(ldd "$prefix/bin/gifexport" | sed -n 's/.*velquart-gifexport\.so\.1 => \([^ ]*\).*/\1/p')
if [ "$(realpath "$loaded")" != "$(realpath "$libdir/velquart-gifexport.so.1.0.0")" ]; then
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

# The temporary trees below build without optimisation: they check how the
# project configures and installs, not the code.
echo "=== RUNPATH default per install prefix ==="
# "default": no prefix given at configure time (chosen at install time).
for case in default:ON /opt/gifexport:ON /usr:OFF /usr/:OFF /usr/local:OFF; do
  p=${case%:*}
  want=${case##*:}
  prefix_arg=()
  [ "$p" = default ] || prefix_arg=(-DCMAKE_INSTALL_PREFIX="$p")
  rm -rf "$work/prefix-check"
  cmake -S . -B "$work/prefix-check" "${prefix_arg[@]}" -DBUILD_TESTING=OFF > /dev/null
  got=$(sed -n 's/^GIFEXPORT_INSTALL_RPATH:BOOL=//p' "$work/prefix-check/CMakeCache.txt")
  [ "$got" = "$want" ] || { echo "prefix $p: GIFEXPORT_INSTALL_RPATH=$got, expected $want" >&2; exit 1; }
  echo "prefix $p: GIFEXPORT_INSTALL_RPATH=$got"
done

echo "=== /usr build installed with DESTDIR ==="
cmake -S . -B "$work/usr-build" -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF > /dev/null
cmake --build "$work/usr-build" -j "$jobs" --target gifexport gifexport_cli > /dev/null
DESTDIR="$work/stage" cmake --install "$work/usr-build" > /dev/null
tool=$work/stage/usr/bin/gifexport
[ -x "$tool" ] || { echo "missing after install: $tool" >&2; exit 1; }
rp=$(runpath "$tool")
[ -z "$rp" ] || { echo "tool installed in /usr has the RUNPATH '$rp'" >&2; exit 1; }
# A DESTDIR install writes nothing outside the staging directory, and the
# staged library has the same SONAME.
staged_lib=$(find "$work/stage/usr" -name 'velquart-gifexport.so.1.0.0' | head -n 1)
[ -n "$staged_lib" ] || { echo "no velquart-gifexport.so.1.0.0 under $work/stage/usr" >&2; exit 1; }
[ -L "${staged_lib%.0.0}" ] && [ -L "${staged_lib%.1.0.0}" ] && [ -L "${staged_lib%/*}/libvelquart-gifexport.so" ] ||
  { echo "links missing beside $staged_lib" >&2; exit 1; }
echo "/usr: tool without RUNPATH, library at ${staged_lib#"$work/stage"}"

echo "=== library-only build ==="
# Neither nlohmann-json nor GoogleTest may be needed: hide both from CMake.
cmake --no-warn-unused-cli -S . -B "$work/lib-only" -DGIFEXPORT_BUILD_TOOLS=OFF -DBUILD_TESTING=OFF \
  -DCMAKE_DISABLE_FIND_PACKAGE_nlohmann_json=ON -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON > /dev/null
cmake --build "$work/lib-only" -j "$jobs" > /dev/null
DESTDIR="$work/lib-only-stage" cmake --install "$work/lib-only" --prefix /opt/gifexport > /dev/null
[ -e "$work/lib-only-stage/opt/gifexport/include/gifexport.h" ] ||
  { echo "library-only install has no header" >&2; exit 1; }
if find "$work/lib-only-stage" -path '*/bin/*' | grep -q .; then
  echo "library-only install has a tool" >&2
  exit 1
fi
echo "library-only: configured, built and installed without the tool"

echo "install check: passed"
