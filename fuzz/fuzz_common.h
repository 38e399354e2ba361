// SPDX-License-Identifier: MIT
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
// in the library's own branches. What the library reports (format, kinds of
// stream, errors, job endings) is hashed onto these counters, which libFuzzer
// reads as features of the run. Each feature is one bounded fact (a format
// with one codec, say), never a whole report: lists of streams in every order
// would make nearly every input new and swell the corpus without end.
__attribute__((section("__libfuzzer_extra_counters"), used)) static uint8_t
    g_fuzz_outcome_counters[1 << 14];

// FNV-1a; with skip_digits, numbers (durations, sizes, rates) do not count.
inline uint32_t fuzz_hash(const char *text, bool skip_digits = false,
                          uint32_t hash = 2166136261u) {
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
    if (skip_digits && *p >= '0' && *p <= '9') continue;
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

// Notes the facts of a probe report: its error, or its format with each kind
// of stream in it (type, codec, whether size and rate are known) and the
// number of streams up to four. Returns a key for the kind of file: its
// format and the codec of its first video stream.
inline uint32_t fuzz_note_probe(const char *probe) {
  if (std::strncmp(probe, "{\"ok\":true,", 11) != 0) {
    const uint32_t error = fuzz_hash(probe, true);
    fuzz_note_outcome(error);
    return error;
  }
  char format[72] = "";
  const char *f = std::strstr(probe, "\"format\":\"");
  if (f) std::sscanf(f, "\"format\":\"%71[^\"]", format);
  const uint32_t format_hash = fuzz_hash(format);
  fuzz_note_outcome(format_hash);
  uint32_t key = format_hash;
  bool video_seen = false;
  int streams = 0;
  for (const char *at = std::strstr(probe, "{\"index\":"); at != nullptr;
       at = std::strstr(at + 1, "{\"index\":")) {
    char type[16] = "", codec[72] = "";
    int width = 0, height = 0;
    double fps = 0;
    std::sscanf(at,
                "{\"index\":%*u,\"type\":\"%15[^\"]\",\"codec\":\"%71[^\"]\",\"width\":%d,"
                "\"height\":%d,\"fps\":%lf",
                type, codec, &width, &height, &fps);
    uint32_t kind = fuzz_hash(codec, false, fuzz_hash(type, false, format_hash));
    kind = fuzz_mix(kind, (width > 0 && height > 0) * 2 + (fps > 0));
    fuzz_note_outcome(kind);
    if (!video_seen && std::strcmp(type, "video") == 0) {
      key = fuzz_hash(codec, false, format_hash);
      video_seen = true;
    }
    ++streams;
  }
  fuzz_note_outcome(fuzz_mix(format_hash, 1000 + (streams < 4 ? streams : 4)));
  return key;
}
