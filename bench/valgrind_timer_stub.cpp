// SPDX-License-Identifier: MIT
// Loaded with LD_PRELOAD only for the callgrind profile (bench/profile.sh).
// libavcodec pulls in a SIMD helper library whose load-time timer calibration
// executes RDTSCP. Where the CPU does not advertise that instruction (as in
// some virtual machines) valgrind refuses it and stops the program before
// main. This stub answers the calibration instead; the timer only serves
// that library's own benchmarks and is never used by a conversion.
#include <cstdint>

namespace hwy {
namespace platform {
uint64_t TimerResolution() { return 1; }
}  // namespace platform
}  // namespace hwy
