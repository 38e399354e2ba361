// SPDX-License-Identifier: MIT
// The tool's own removal of what stands at an output path.
#pragma once

// Removes what stands at path if it is a regular file or a symbolic link (the
// link itself), never a directory or a device: as root, remove() would delete
// a device node named as the output. On POSIX only lstat and unlink, so a
// signal handler may call it. On Windows the platform layer's removal, which
// names the same file as the library and FFmpeg wrote (UTF-8 to UTF-16, and a
// path whose full form is long in the \\?\ form).
void remove_file_only(const char *path);
