// SPDX-License-Identifier: MIT
// The one detection of a file's format that the gate decides on: found as
// the media library's open of an input without a forced format finds it,
// then forced on the open, so that the demuxer the gate looked at is the one
// that reads the file. Which demuxers may read a file depends on who opens
// it, and on what opens the files it names.
#pragma once

#include <string>

extern "C" {
#include <libavformat/avformat.h>
}

// Who reads a file, for the demuxers allowed to read it.
enum class ge_format_scope {
  // The input itself: no demuxer that opens files past the gate (DASH
  // manifests, VobSub index files).
  input,
  // A file a list names, and everything under a list: the list's demuxer
  // opens it with no gate, so neither does any demuxer that opens files
  // beyond its own (playlists, IMF, MLV).
  list_entry,
  // A file read for an input that is no list (a playlist's segment): never a
  // list, whose entries would be opened with no gate and no check.
  under_media,
};

// The demuxers' names allowed in scope, as a format whitelist (names with
// commas in them, "mov,mp4,...", are lists themselves and match as such).
std::string ge_demuxer_whitelist(ge_format_scope scope);

// True when the media library's whitelist check lets fmt read in scope.
bool ge_format_allowed(const AVInputFormat *fmt, ge_format_scope scope);

// True for the concatenation list's demuxer.
bool ge_is_list_format(const AVInputFormat *fmt);

// Finds the format of the file at url ("file:" and a path) as an open
// without a forced format would: by its name alone for a demuxer that opens
// its own files (an image sequence's pattern), leaving *pb null; otherwise by
// its first bytes, FFmpeg's prober reading them from the file opened through
// the gate into *pb, which is left open at its start (the bytes probed kept
// in its buffer) for the demuxer to read. log_ctx (may be null) is what the
// prober logs on. Returns 0, or a negative AVERROR with *pb null: the
// gate's, a read's, or AVERROR_INVALIDDATA when no format fits.
int ge_detect_format(const char *url, const AVIOInterruptCB *interrupt, void *log_ctx,
                     AVIOContext **pb, const AVInputFormat **fmt);
