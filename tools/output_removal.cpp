// SPDX-License-Identifier: MIT
#include "output_removal.h"

#if defined(_WIN32)
#include "platform/files.h"

void remove_file_only(const char *path) { ge_remove_output(path); }
#else
#include <sys/stat.h>
#include <unistd.h>

void remove_file_only(const char *path) {
  struct stat st;
  if (lstat(path, &st) == 0 && (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode))) unlink(path);
}
#endif
