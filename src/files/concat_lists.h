// SPDX-License-Identifier: MIT
// Checks of a concatenation list ("ffconcat version 1.0" and "file NAME"
// lines), whose demuxer opens each file it names on its own, past the gate
// that every other open of an input goes through. Before such a list is
// demuxed, every file it names (and every file a list among them names) is
// checked here by the same rule as every other file an input reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" {
#include <libavformat/avio.h>
}

// Length of the first line by which the media library recognises a list.
constexpr size_t GE_CONCAT_SIGNATURE_LEN = 20;

// True when the bytes that begin a file make it a list to the media library.
bool ge_is_concat_signature(const uint8_t *head, size_t len);

// The URL under which the list's demuxer opens an entry `name` of the list at
// list_url ("file:..."), or an empty string when the demuxer, whose safe mode
// takes only relative names of portable characters, refuses the name.
std::string ge_concat_entry_url(const std::string &list_url, const std::string &name);

// Checks the list at list_url whose whole text is `text`: 0 when every file
// it names, at any depth of lists within lists, is a regular file; otherwise
// a negative AVERROR: the file check's, or AVERROR(EPERM) for a name the
// demuxer's safe mode refuses, AVERROR(E2BIG) for lists nested too deep,
// too long or naming too many files. interrupt (may be null) is handed to
// every open.
int ge_check_concat_list(const std::string &list_url, const std::string &text,
                         const AVIOInterruptCB *interrupt);

// Reads the list open in pb from its current position to its end into *text.
// AVERROR(E2BIG) for a list longer than any this library takes.
int ge_read_concat_list(AVIOContext *pb, std::string *text);
