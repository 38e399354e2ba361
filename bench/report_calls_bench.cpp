// SPDX-License-Identifier: MIT
// Cost of the calls a host makes from its UI thread while a job runs, and
// proof that they allocate nothing: this program replaces malloc and friends
// with counting versions, which the library's calls reach through the
// dynamic linker like every other caller's.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "gifexport.h"

extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
extern "C" void *__libc_memalign(size_t, size_t);

namespace {
std::atomic<long> g_allocations{0};
}

extern "C" void *malloc(size_t n) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(n);
}
extern "C" void *calloc(size_t n, size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(n, size);
}
extern "C" void *realloc(void *p, size_t n) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(p, n);
}
// FFmpeg's av_malloc allocates through posix_memalign.
extern "C" int posix_memalign(void **out, size_t alignment, size_t n) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  void *p = __libc_memalign(alignment, n);
  if (p == nullptr && n != 0) return ENOMEM;
  *out = p;
  return 0;
}
extern "C" void *aligned_alloc(size_t alignment, size_t n) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __libc_memalign(alignment, n);
}

namespace {

std::string g_input;   // a small clip, given on the command line
int g_done_id = -1;    // slot 0: a job that ended done
int g_failed_id = -1;  // slot 1: a job that ended failed

// Runs body once per iteration and reports the allocations it made.
template <typename Body>
void measure(benchmark::State &state, Body body) {
  const long before = g_allocations.load();
  for (auto _ : state) benchmark::DoNotOptimize(body());
  state.counters["allocs_per_call"] = benchmark::Counter(
      static_cast<double>(g_allocations.load() - before) / static_cast<double>(state.iterations()));
}

void BM_status(benchmark::State &s) { measure(s, [] { return gifexport_status(g_done_id); }); }
void BM_progress(benchmark::State &s) { measure(s, [] { return gifexport_progress(g_done_id); }); }
void BM_result_full(benchmark::State &s) { measure(s, [] { return gifexport_result(g_done_id); }); }
void BM_result_failed(benchmark::State &s) {
  measure(s, [] { return gifexport_result(g_failed_id); });
}
void BM_bad_id(benchmark::State &s) { measure(s, [] { return gifexport_progress(7); }); }
void BM_version(benchmark::State &s) { measure(s, [] { return gifexport_version(); }); }
void BM_probe_small_file(benchmark::State &s) {
  measure(s, [] { return gifexport_probe(g_input.c_str()); });
}

BENCHMARK(BM_status);
BENCHMARK(BM_progress);
BENCHMARK(BM_result_full);
BENCHMARK(BM_result_failed);
BENCHMARK(BM_bad_id);
BENCHMARK(BM_version);
BENCHMARK(BM_probe_small_file)->Unit(benchmark::kMicrosecond);

int wait_final(int id) {
  while (gifexport_status(id) < 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return gifexport_status(id);
}

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: report_calls_bench [benchmark flags] INPUT SCRATCH_DIR\n");
    return 2;
  }
  g_input = argv[1];
  const std::string done_out = std::string(argv[2]) + "/report_bench_done.gif";
  const std::string failed_out = std::string(argv[2]) + "/no/such/dir/x.gif";
  g_done_id = gifexport_start(g_input.c_str(), done_out.c_str(), 0, 1000, 64, 5);
  g_failed_id = gifexport_start(g_input.c_str(), failed_out.c_str(), 0, 1000, 64, 5);
  if (g_done_id < 0 || g_failed_id < 0 || wait_final(g_done_id) != 3 || wait_final(g_failed_id) != 5) {
    std::fprintf(stderr, "report_calls_bench: could not prepare the jobs\n");
    return 1;
  }
  gifexport_version();  // its one-time formatting is not a per-call cost
  benchmark::RunSpecifiedBenchmarks();
  gifexport_free(g_done_id);
  gifexport_free(g_failed_id);
  std::remove(done_out.c_str());
  return 0;
}
