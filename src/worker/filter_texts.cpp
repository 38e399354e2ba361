// SPDX-License-Identifier: MIT
#include "worker/filter_texts.h"

#include <cstdio>

namespace {

constexpr const char *GE_PALETTEGEN = "palettegen=stats_mode=diff";
constexpr const char *GE_PALETTEUSE = "paletteuse=dither=bayer:bayer_scale=5:diff_mode=rectangle";

}  // namespace

void ge_format_source_args(char *buf, size_t size, int width, int height, int pix_fmt,
                           AVRational time_base, AVRational sample_aspect) {
  if (sample_aspect.num == 0) sample_aspect = AVRational{1, 1};
  std::snprintf(buf, size, "video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d",
                width, height, pix_fmt, time_base.num, time_base.den, sample_aspect.num,
                sample_aspect.den);
}

void ge_format_filter_chain(char *buf, size_t size, ge_chain_kind kind, const char *orientation,
                            int fps, int target_width, int target_height) {
  // The head every kind shares: upright, then the rate, then the size.
  char head[GE_FILTER_TEXT_CAP];
  std::snprintf(head, sizeof head, "%s%sfps=%d,scale=%d:%d:flags=lanczos", orientation,
                orientation[0] ? "," : "", fps, target_width, target_height);
  switch (kind) {
    case ge_chain_kind::whole:
      std::snprintf(buf, size, "%s,split[a][b];[a]%s[p];[b][p]%s", head, GE_PALETTEGEN,
                    GE_PALETTEUSE);
      break;
    case ge_chain_kind::palette:
      std::snprintf(buf, size, "%s,%s", head, GE_PALETTEGEN);
      break;
    case ge_chain_kind::mapping:
      std::snprintf(buf, size, "[in]%s[x];[x][%s]%s", head, GE_PALETTE_SOURCE_NAME, GE_PALETTEUSE);
      break;
  }
}
