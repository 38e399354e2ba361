// SPDX-License-Identifier: MIT
#include <cstdio>

extern "C" {
#include <libavfilter/version.h>
}

#include "gifexport.h"

namespace {
constexpr const char *GE_LIBRARY_VERSION = "1.0.0";
char g_version_text[128];
}  // namespace

extern "C" GIFEXPORT_API const char *GIFEXPORT_CALL gifexport_version(void) {
  // Formatted once (a thread-safe static initialisation), so simultaneous
  // callers never write the buffer. The libavfilter numbers are those of the
  // headers this library was built against, not of the one loaded at run time.
  static const char *const text = [] {
    std::snprintf(g_version_text, sizeof g_version_text, "%s (libavfilter %d.%d.%d)",
                  GE_LIBRARY_VERSION, LIBAVFILTER_VERSION_MAJOR, LIBAVFILTER_VERSION_MINOR,
                  LIBAVFILTER_VERSION_MICRO);
    return g_version_text;
  }();
  return text;
}
