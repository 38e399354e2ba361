#include "platform/files.h"

#include <cstdio>

#if defined(_WIN32)
#include <windows.h>

void ge_remove_output(const char *path) {
  // remove() on Windows deletes neither directories nor devices; only files
  // (and file symlinks, as links) go.
  DWORD attrs = GetFileAttributesA(path);
  if (attrs == INVALID_FILE_ATTRIBUTES || (attrs & FILE_ATTRIBUTE_DIRECTORY)) return;
  std::remove(path);
}

namespace {
bool file_identity(const char *path, BY_HANDLE_FILE_INFORMATION *info) {
  HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BOOL ok = GetFileInformationByHandle(h, info);
  CloseHandle(h);
  return ok != 0;
}
}  // namespace

bool ge_is_pipe_or_socket(const char *path) {
  // Named pipes live in their own namespace (\\.\pipe\), which the media
  // library's file protocol does not open as a plain path.
  static_cast<void>(path);
  return false;
}

bool ge_same_file(const char *a, const char *b) {
  BY_HANDLE_FILE_INFORMATION ia, ib;
  if (!file_identity(a, &ia) || !file_identity(b, &ib)) return false;
  return ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
         ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

#else
#include <sys/stat.h>

void ge_remove_output(const char *path) {
  // remove() here would also delete an empty directory, and as root even a
  // device node: look at what is there (without following a link) first.
  struct stat st;
  if (lstat(path, &st) != 0) return;
  if (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) std::remove(path);
}

bool ge_is_pipe_or_socket(const char *path) {
  struct stat st;
  return stat(path, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
}

bool ge_same_file(const char *a, const char *b) {
  struct stat sa, sb;
  if (stat(a, &sa) != 0 || stat(b, &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}
#endif
