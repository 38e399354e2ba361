// SPDX-License-Identifier: MIT
#include "worker/output_target.h"

#include <cstring>

#include "platform/files.h"
#include "files/job_files.h"

namespace {

bool copy_path(char *dst, const char *src) {
  const size_t len = std::strlen(src);
  if (len + 1 > GE_TARGET_PATH_CAP) return false;
  std::memcpy(dst, src, len + 1);
  return true;
}

int open_direct(ge_output_target *t, const char *plain, AVIOContext **pb,
                AVIOInterruptCB interrupt) {
  t->via_temp = false;
  if (!copy_path(t->write_path, plain)) return AVERROR(ENAMETOOLONG);
  // A FIFO that appeared after the start would block the open.
  if (ge_is_pipe_or_socket(plain)) return AVERROR(EINVAL);
  return ge_open_output_file(pb, t->write_path, interrupt);
}

}  // namespace

int ge_output_open(ge_output_target *t, const char *out_path, int slot, AVIOContext **pb,
                   AVIOInterruptCB interrupt) {
  const char *plain = ge_plain_path(out_path);
  // Not opened at all, rather than written to a temporary file that could
  // never be moved to its name.
  if (!ge_path_can_name_a_file(plain)) return AVERROR(EINVAL);
  // A link chain that loops or does not fit is left to the open to judge.
  if (!ge_link_target(plain, t->final_path, sizeof t->final_path))
    return open_direct(t, plain, pb, interrupt);
  switch (ge_file_kind_at(t->final_path)) {
    case ge_file_kind::missing:
    case ge_file_kind::regular:
      break;
    case ge_file_kind::directory:
      return AVERROR(EISDIR);
    default:
      // A device (or a link the platform does not follow): a move would put
      // a file in its place, so it is written as it is.
      return open_direct(t, plain, pb, interrupt);
  }
  if (ge_temp_path_beside(t->final_path, slot, t->write_path, sizeof t->write_path) &&
      ge_open_output_file(pb, t->write_path, interrupt) >= 0) {
    t->via_temp = true;
    return 0;
  }
  // No file can be made in that folder (a file writable in a read-only
  // folder): the GIF is written in place, as without a temporary file.
  return open_direct(t, plain, pb, interrupt);
}

bool ge_output_commit(ge_output_target *t) {
  if (!t->via_temp) return true;
  if (ge_replace_file(t->write_path, t->final_path)) {
    t->via_temp = false;
    return true;
  }
  ge_output_discard(t);
  return false;
}

void ge_output_discard(ge_output_target *t) {
  if (!t->via_temp) return;
  ge_remove_output(t->write_path);
  t->via_temp = false;
}
