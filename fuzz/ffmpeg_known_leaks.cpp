// SPDX-License-Identifier: MIT
// Keeps one leak that lies inside FFmpeg from stopping the fuzz runs.
//
// libswscale 6 (FFmpeg 5.1) loses the slice contexts sws_init_context
// allocates when that init fails, e.g. for a scale to 64x1280000, which a file
// with extremely non-square pixels asks for. The scale filter and its graph
// are freed; a program that only configures and frees such a graph leaks the
// same. fuzz/lsan.supp names the library, but a suppression matches only a
// complete stack, and FFmpeg is built without frame pointers: with the fast
// unwinder (slow unwinding makes fuzzing some twenty times slower) its stacks
// end at av_malloc. So the harness wraps sws_init_context and tells
// LeakSanitizer to ignore what is allocated during that call only. Every
// other allocation, the scale filter's own context included, is still
// checked, so a graph our code fails to free is reported as before.
#include <dlfcn.h>
#include <sanitizer/lsan_interface.h>

#include <cstdio>
#include <cstdlib>

struct SwsContext;
struct SwsFilter;

extern "C" int sws_init_context(SwsContext *context, SwsFilter *src_filter,
                                SwsFilter *dst_filter) {
  using init_fn = int (*)(SwsContext *, SwsFilter *, SwsFilter *);
  // Resolved once, on first use (a function-local static is initialised
  // thread-safely, and both workers may configure a graph at once).
  static init_fn real = reinterpret_cast<init_fn>(dlsym(RTLD_NEXT, "sws_init_context"));
  if (real == nullptr) {
    std::fprintf(stderr, "sws_init_context: libswscale not found\n");
    std::abort();
  }
  __lsan_disable();
  const int rc = real(context, src_filter, dst_filter);
  __lsan_enable();
  return rc;
}
