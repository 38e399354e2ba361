// SPDX-License-Identifier: MIT
// Where a job writes its GIF. The GIF is written into a temporary file in the
// folder of the file it will replace and moved onto that file in one step once
// it is complete, so a GIF that stands at the output path is never a partial
// one, whatever happens to the process meanwhile.
#pragma once

#include <cstddef>

extern "C" {
#include <libavformat/avio.h>
}

// Room for a resolved link target and the temporary file's name beside it.
constexpr size_t GE_TARGET_PATH_CAP = 4096 + 64;

struct ge_output_target {
  // The file the finished GIF becomes: the output path, or the file a
  // symbolic link there points to (the link itself survives).
  char final_path[GE_TARGET_PATH_CAP] = "";
  // The file the muxer writes: the temporary file, or the output path itself
  // when no temporary file is used.
  char write_path[GE_TARGET_PATH_CAP] = "";
  // True once the temporary file exists; it is then ours to move or remove.
  bool via_temp = false;
};

// Opens the file the GIF is written into (*pb), for the job of slot `slot`
// with the caller's out_path. A device or anything else a move cannot replace
// (/dev/null, a link to one) is written directly, as is the output path when
// no temporary file can be created in its folder. interrupt is asked between
// writes whether to give up. Returns what the open returned: negative when
// nothing could be opened.
int ge_output_open(ge_output_target *t, const char *out_path, int slot, AVIOContext **pb,
                   AVIOInterruptCB interrupt);

// Moves a complete, closed temporary file onto its final path; nothing to do
// for a direct write. False (and the temporary file removed) when the move
// fails.
bool ge_output_commit(ge_output_target *t);

// Removes the temporary file, if one was made, on an ending that keeps no GIF.
void ge_output_discard(ge_output_target *t);
