#include "session/input_file.h"

#include "platform/files.h"

int ge_open_input(AVFormatContext **in_ctx, const char *path) {
  if (ge_is_pipe_or_socket(path)) return AVERROR(EINVAL);
  return avformat_open_input(in_ctx, path, nullptr, nullptr);
}
