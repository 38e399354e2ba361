# SPDX-License-Identifier: MIT
# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (the posix
# thread model, whose C++ runtime has std::thread). FFmpeg comes from
# GIFEXPORT_FFMPEG_PREFIX, as built by `scripts/build_ffmpeg.sh win64`; test
# programs run under wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(GIFEXPORT_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${GIFEXPORT_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${GIFEXPORT_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${GIFEXPORT_MINGW_TRIPLE}-windres)

# Headers and libraries only from the mingw sysroot and the Windows FFmpeg,
# never from this machine's /usr/include or /usr/lib; programs (pkg-config,
# objdump, wine) from this machine.
set(CMAKE_FIND_ROOT_PATH /usr/${GIFEXPORT_MINGW_TRIPLE} ${GIFEXPORT_FFMPEG_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config must see the Windows FFmpeg's .pc files and none of this
# machine's.
if(GIFEXPORT_FFMPEG_PREFIX)
  set(ENV{PKG_CONFIG_LIBDIR} "${GIFEXPORT_FFMPEG_PREFIX}/lib/pkgconfig")
  set(ENV{PKG_CONFIG_PATH} "")
endif()

# The C++ runtime and libgcc are linked in, so our DLL and programs need no
# libstdc++/libgcc DLL beside them (a host may carry other versions of
# those). libwinpthread-1.dll still ships: FFmpeg's avutil imports it too.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")

# Test programs run under wine (Debian's wine package; /usr/bin/wine starts
# 64-bit programs with wine64).
find_program(GIFEXPORT_WINE NAMES wine wine64 PATHS /usr/lib/wine)
if(GIFEXPORT_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${GIFEXPORT_WINE})
endif()

# try_compile projects read this file again and need the FFmpeg prefix too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES GIFEXPORT_FFMPEG_PREFIX)
