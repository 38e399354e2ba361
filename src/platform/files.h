// File-system questions the job machinery asks of the platform.
#pragma once

// Removes the job's output at path, but only a regular file or a symbolic link
// (the link itself, never its target). A directory, device, FIFO or socket at
// the path is left alone, and a missing path is no error.
void ge_remove_output(const char *path);

// True when both paths exist and name the same file (the same device and
// inode on POSIX, the same volume and file index on Windows), whatever the
// spelling: hard links and other routes to one file count as the same.
bool ge_same_file(const char *a, const char *b);

// True when path names a FIFO or a socket, whose opening for reading waits
// for the other end.
bool ge_is_pipe_or_socket(const char *path);
