// SPDX-License-Identifier: MIT
#include "platform/files.h"

#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>

ge_file_kind ge_file_kind_at(const char *path) {
  const DWORD attrs = GetFileAttributesA(path);
  if (attrs == INVALID_FILE_ATTRIBUTES) return ge_file_kind::missing;
  if (attrs & FILE_ATTRIBUTE_REPARSE_POINT) return ge_file_kind::link;
  if (attrs & FILE_ATTRIBUTE_DIRECTORY) return ge_file_kind::directory;
  return ge_file_kind::regular;
}

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

bool ge_link_target(const char *path, char *buf, size_t cap) {
  // Links are not followed here: the copy still names a link, into which a
  // caller writes directly instead of replacing it.
  const size_t len = std::strlen(path);
  if (len + 1 > cap) return false;
  std::memcpy(buf, path, len + 1);
  return true;
}

bool ge_replace_file(const char *from, const char *to) {
  return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

unsigned long ge_process_id() { return GetCurrentProcessId(); }

#else
#include <sys/stat.h>
#include <unistd.h>

ge_file_kind ge_file_kind_at(const char *path) {
  struct stat st;
  if (lstat(path, &st) != 0) return ge_file_kind::missing;
  if (S_ISREG(st.st_mode)) return ge_file_kind::regular;
  if (S_ISDIR(st.st_mode)) return ge_file_kind::directory;
  if (S_ISLNK(st.st_mode)) return ge_file_kind::link;
  return ge_file_kind::other;
}

void ge_remove_output(const char *path) {
  // remove() here would also delete an empty directory, and as root even a
  // device node: look at what is there (without following a link) first.
  const ge_file_kind kind = ge_file_kind_at(path);
  if (kind == ge_file_kind::regular || kind == ge_file_kind::link) std::remove(path);
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

bool ge_link_target(const char *path, char *buf, size_t cap) {
  const size_t len = std::strlen(path);
  if (len + 1 > cap) return false;
  std::memcpy(buf, path, len + 1);
  // The same bound on a chain of links as the kernel's.
  for (int hops = 0; hops < 40; ++hops) {
    if (ge_file_kind_at(buf) != ge_file_kind::link) return true;
    char target[4096];
    const ssize_t n = readlink(buf, target, sizeof target - 1);
    if (n < 0 || static_cast<size_t>(n) >= sizeof target - 1) return false;
    target[n] = '\0';
    if (target[0] == '/') {
      if (static_cast<size_t>(n) + 1 > cap) return false;
      std::memcpy(buf, target, static_cast<size_t>(n) + 1);
      continue;
    }
    // A relative target counts from the folder that holds the link.
    const char *slash = std::strrchr(buf, '/');
    const size_t dir_len = slash ? static_cast<size_t>(slash - buf) + 1 : 0;
    if (dir_len + static_cast<size_t>(n) + 1 > cap) return false;
    std::memmove(buf + dir_len, target, static_cast<size_t>(n) + 1);
  }
  return false;
}

bool ge_replace_file(const char *from, const char *to) { return std::rename(from, to) == 0; }

unsigned long ge_process_id() { return static_cast<unsigned long>(getpid()); }
#endif
