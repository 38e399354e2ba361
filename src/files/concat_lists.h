// SPDX-License-Identifier: MIT
// Checks of a concatenation list ("ffconcat version 1.0" and "file NAME"
// lines), whose demuxer opens each file it names on its own, past the gate
// that every other open of an input goes through. Before such a list is
// demuxed, every file it names (and every file a list among them names) is
// checked here by the same rule as every other file an input reads, and its
// format found as the demuxer's open of it will find it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" {
#include <libavformat/avio.h>
}

// How deep lists may stand within lists: the input's own list is at depth 1.
// Far beyond what a window of at most a minute draws on, and a bound on a
// list that names itself.
constexpr int GE_LIST_DEPTH_MAX = 8;

// Where the list's demuxer starts reading the list in `file` (its whole
// content): past the ID3v2 tags in front of it, which the media library
// reads away before any demuxer's header, as its tag reader does: a tag's
// footer too, but only where that reader goes through the whole tag.
// (FFmpeg 9.0 leaves tags to the demuxers that take them: its list demuxer
// then refuses a tagged list at the first line, before opening anything.)
size_t ge_list_text_start(const std::string &file);

// The URL under which the list's demuxer opens an entry `name` of the list at
// list_url ("file:..."), or an empty string when the demuxer, whose safe mode
// takes only relative names of portable characters, refuses the name.
std::string ge_concat_entry_url(const std::string &list_url, const std::string &name);

// Checks the list at list_url whose whole file is `file`, read from where
// its demuxer starts: 0 when every file it names, at any depth of lists
// within lists, is a regular file whose format (found as format_detect.h
// finds it, as the demuxer's open will) may be read under a list; otherwise
// a negative AVERROR: the file check's or the detection's, AVERROR(EPERM)
// for a name the demuxer's safe mode refuses or a format not read under a
// list, AVERROR(E2BIG) for lists nested deeper than GE_LIST_DEPTH_MAX, too
// long or naming too many files. interrupt (may be null) is handed to every
// open.
int ge_check_concat_list(const std::string &list_url, const std::string &file,
                         const AVIOInterruptCB *interrupt);

// Reads the list open in pb from its current position to its end into *file.
// AVERROR(E2BIG) for a list longer than any this library takes.
int ge_read_concat_list(AVIOContext *pb, std::string *file);
