// SPDX-License-Identifier: MIT
// Fuzz target for gifexport_probe: the input bytes become a media file that is
// probed; the report must always be one bounded, well-formed JSON object.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

#include "fuzz_common.h"
#include "gifexport.h"

namespace {

// The probe report lives in a 64 KiB static buffer; a text that long or longer
// has overrun it.
constexpr size_t kProbeCap = 65536;

std::string g_input_path;

void remove_scratch() { std::remove(g_input_path.c_str()); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  av_log_set_level(AV_LOG_QUIET);
  g_input_path = fuzz_scratch_path("probe_fuzzer", ".fuzzin");
  std::atexit(remove_scratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz_write_file(g_input_path, data, size);
  const char *text = gifexport_probe(g_input_path.c_str());
  const size_t len = fuzz_check_json_object(text, kProbeCap, "probe");
  // Control bytes would make the text invalid JSON: names and errors are
  // escaped or taken from the libraries' own identifiers.
  for (size_t i = 0; i < len; ++i)
    FUZZ_CHECK(static_cast<unsigned char>(text[i]) >= 0x20, "control byte 0x%02x at %zu in: %s",
               static_cast<unsigned char>(text[i]), i, text);
  fuzz_note_probe(text);
  const bool ok = std::strncmp(text, "{\"ok\":true,", 11) == 0;
  FUZZ_CHECK(ok || std::strncmp(text, "{\"ok\":false,\"error\":\"", 21) == 0,
             "probe text begins with neither ok form: %.200s", text);
  if (ok) {
    // A described file always ends with its (possibly cut) stream list closed.
    FUZZ_CHECK(std::strstr(text, "\"streams\":[") != nullptr && len >= 3 &&
                   std::strcmp(text + len - 2, "]}") == 0,
               "stream list not closed: %.200s ... %s", text, text + (len > 64 ? len - 64 : 0));
  }
  return 0;
}
