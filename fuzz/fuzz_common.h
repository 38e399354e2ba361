// Helpers shared by the two fuzz targets: the per-process scratch files and
// the shape checks every JSON text of the library must pass.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// Stops the run with a message; libFuzzer records the input as a crash.
#define FUZZ_CHECK(cond, ...)                                 \
  do {                                                        \
    if (!(cond)) {                                            \
      std::fprintf(stderr, "FUZZ CHECK FAILED: %s\n  ", #cond); \
      std::fprintf(stderr, __VA_ARGS__);                      \
      std::fprintf(stderr, "\n");                             \
      std::abort();                                           \
    }                                                         \
  } while (0)

// A path in $TMPDIR (or /tmp) that holds this process's id, so parallel
// fuzzing jobs never share a file. The suffix is one that no demuxer claims,
// so the format is always found from the bytes alone.
inline std::string fuzz_scratch_path(const char *target, const char *suffix) {
  const char *dir = std::getenv("TMPDIR");
  if (dir == nullptr || dir[0] == '\0') dir = "/tmp";
  return std::string(dir) + "/" + target + "-" + std::to_string(static_cast<long>(getpid())) +
         suffix;
}

// Replaces the file's contents with the input bytes. A failure here is the
// machine's, not the library's, so it ends the run loudly.
inline void fuzz_write_file(const std::string &path, const uint8_t *data, size_t size) {
  std::FILE *f = std::fopen(path.c_str(), "wb");
  FUZZ_CHECK(f != nullptr, "cannot create %s", path.c_str());
  const size_t written = size ? std::fwrite(data, 1, size, f) : 0;
  const int closed = std::fclose(f);
  FUZZ_CHECK(written == size && closed == 0, "cannot write %s", path.c_str());
}

// A library text must be non-null, terminated within `cap` bytes and one JSON
// object ({...}). Returns its length.
inline size_t fuzz_check_json_object(const char *text, size_t cap, const char *what) {
  FUZZ_CHECK(text != nullptr, "%s returned null", what);
  const size_t len = strnlen(text, cap);
  FUZZ_CHECK(len < cap, "%s text not terminated within %zu bytes", what, cap);
  FUZZ_CHECK(len >= 2 && text[0] == '{' && text[len - 1] == '}', "%s text is no object: %s", what,
             text);
  return len;
}

// The integer after "key": in the text, or `fallback` when the key is absent.
inline long long fuzz_json_int(const char *text, const char *key, long long fallback) {
  const std::string needle = std::string("\"") + key + "\":";
  const char *at = std::strstr(text, needle.c_str());
  long long value = fallback;
  if (at == nullptr || std::sscanf(at + needle.size(), "%lld", &value) != 1) return fallback;
  return value;
}

// Extra coverage features. FFmpeg is not instrumented, so libFuzzer cannot
// tell an input that reaches a new demuxer or decoder from one it has seen;
// without help it would shrink the corpus down to the few inputs that differ
// in the library's own branches. Every outcome the library reports (format,
// stream types, codecs, errors, job states) is hashed onto one of these
// counters, which libFuzzer reads as features of the run.
__attribute__((section("__libfuzzer_extra_counters"), used)) static uint8_t
    g_fuzz_outcome_counters[1 << 14];

// FNV-1a over the text with its digits left out: names and errors count,
// durations, sizes and rates do not (they would make every input new).
inline uint32_t fuzz_skeleton_hash(const char *text, uint32_t hash = 2166136261u) {
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
    if (*p >= '0' && *p <= '9') continue;
    hash = (hash ^ *p) * 16777619u;
  }
  return hash;
}

inline uint32_t fuzz_mix(uint32_t hash, long long value) {
  return (hash ^ static_cast<uint32_t>(value) ^ static_cast<uint32_t>(value >> 32)) * 16777619u;
}

inline void fuzz_note_outcome(uint32_t hash) {
  uint8_t &counter = g_fuzz_outcome_counters[hash % sizeof g_fuzz_outcome_counters];
  if (counter < 255) ++counter;
}
