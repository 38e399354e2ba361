// SPDX-License-Identifier: MIT
/* Compiled as C: any C++-only construct in the public header fails the build. */
#include "gifexport.h"

int header_c_check_uses_all(void) {
  const char *(*probe)(const char *) = gifexport_probe;
  int (*start)(const char *, const char *, int64_t, int64_t, int, int) = gifexport_start;
  int (*status)(int) = gifexport_status;
  const char *(*progress)(int) = gifexport_progress;
  const char *(*result)(int) = gifexport_result;
  void (*cancel)(int) = gifexport_cancel;
  void (*release)(int) = gifexport_free;
  const char *(*version)(void) = gifexport_version;
  return probe && start && status && progress && result && cancel && release && version;
}
