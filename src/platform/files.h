// SPDX-License-Identifier: MIT
// File-system questions and operations the job machinery asks of the platform.
// Paths are plain file-system paths in UTF-8 here; no URL prefix is
// understood. On Windows they go to the wide (UTF-16) calls.
#pragma once

#include <cstddef>
#include <cstdint>
#if defined(_WIN32)
#include <string>
#endif

// What stands at a path, the path itself looked at (a symbolic link is not
// followed).
enum class ge_file_kind { missing, regular, directory, link, other };
ge_file_kind ge_file_kind_at(const char *path);

// Removes the job's output at path, but only a regular file or a symbolic link
// (the link itself, never its target). A directory, device, FIFO or socket at
// the path is left alone, and a missing path is no error.
void ge_remove_output(const char *path);

// True when both paths exist and name the same file (the same device and
// inode on POSIX, the same volume and file index on Windows), whatever the
// spelling: hard links and other routes to one file count as the same.
bool ge_same_file(const char *a, const char *b);

// True when path names (directly or through links) a FIFO or a socket, whose
// opening waits for the other end.
bool ge_is_pipe_or_socket(const char *path);

// 0 when path names, directly or through links, a regular file: the only kind
// of file an input may be read from. Otherwise an errno code that says why
// not: ENOENT when nothing is there, EISDIR for a folder, EINVAL for a FIFO,
// socket, device or other special file (opening or reading one may wait for
// ever, or never end), or what looking the path up failed with (EACCES,
// ELOOP, ...). Nothing is opened to find out, so no device is touched.
int ge_regular_file_error(const char *path);

// Writes into buf (cap bytes) the path that path leads to once every symbolic
// link on its last component is followed, also when the final target does
// not exist yet; a path that is no link is copied as it is. False when the
// chain is too long, loops or does not fit.
bool ge_link_target(const char *path, char *buf, size_t cap);

// Moves the file from onto to in one step, replacing a file standing at to.
bool ge_replace_file(const char *from, const char *to);

// False when path cannot name a file at all on this platform: on Windows,
// whose names are UTF-16, bytes that are not UTF-8.
bool ge_path_can_name_a_file(const char *path);

// The size in bytes of the file at path (a link followed), 0 when there is
// none.
int64_t ge_file_size(const char *path);

// The calling process's id, for names no other process will choose.
unsigned long ge_process_id();

// The hidden temporary file beside final_path (the file a GIF will become)
// that the job in slot `slot` of this process writes, into out (cap bytes).
// The process id and the slot tell the jobs of all processes apart. False
// when the name does not fit.
bool ge_temp_path_beside(const char *final_path, int slot, char *out, size_t cap);

#if defined(_WIN32)
// The UTF-16 form in which a UTF-8 path goes to Windows' wide file calls (the
// ANSI calls would read the bytes in the machine's code page and name another
// file); empty for bytes that are not UTF-8, which names no file. A path
// whose full form (made against the current folder, or a drive's own for
// C:name) reaches MAX_PATH less 12, where a folder's limit lies, is given as
// that full form with the \\?\ prefix (\\?\UNC\ for \\server\share), which
// the wide calls take up to 32,767 characters in a program that is not long
// path aware. The full form counts, not the path as given: Windows makes a
// relative path full before it applies the limit. A path already in the
// \\?\ or \??\ form and a device's (\\.\) are left as they are.
std::wstring ge_wide_path(const char *utf8);
#endif
