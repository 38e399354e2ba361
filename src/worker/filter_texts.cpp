#include "worker/filter_texts.h"

#include <cstdio>

void ge_format_source_args(char *buf, size_t size, int width, int height, int pix_fmt,
                           AVRational time_base, AVRational sample_aspect) {
  if (sample_aspect.num == 0) sample_aspect = AVRational{1, 1};
  std::snprintf(buf, size, "video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d",
                width, height, pix_fmt, time_base.num, time_base.den, sample_aspect.num,
                sample_aspect.den);
}

void ge_format_filter_chain(char *buf, size_t size, const char *orientation, int fps,
                            int target_width, int target_height) {
  std::snprintf(buf, size,
                "%s%sfps=%d,scale=%d:%d:flags=lanczos,split[a][b];[a]palettegen=stats_mode=diff[p];"
                "[b][p]paletteuse=dither=bayer:bayer_scale=5:diff_mode=rectangle",
                orientation, orientation[0] ? "," : "", fps, target_width, target_height);
}
