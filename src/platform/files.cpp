// SPDX-License-Identifier: MIT
#include "platform/files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>

#include <cwchar>
#include <string>

namespace {

// Whether w is already in the long form (\\?\ or \??\), which Windows takes
// as it is, without making it full.
bool long_form(const std::wstring &w) {
  return w.size() >= 4 && w[0] == L'\\' && (w[1] == L'\\' || w[1] == L'?') && w[2] == L'?' &&
         w[3] == L'\\';
}

// w made full against the current folder (and, for a drive-relative C:name,
// that drive's own current folder); empty when that fails.
std::wstring full_form(const std::wstring &w) {
  const DWORD need = GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
  if (need == 0) return std::wstring();
  std::wstring full(need, L'\0');
  const DWORD got = GetFullPathNameW(w.c_str(), need, &full[0], nullptr);
  // A current folder changed between the two calls gives a longer answer.
  if (got == 0 || got >= need) return std::wstring();
  full.resize(got);
  return full;
}

// The path as GetFullPathNameW makes it, compared with want (any case).
bool full_path_is(const std::wstring &w, const wchar_t *want) {
  wchar_t full[MAX_PATH];
  const DWORD got = GetFullPathNameW(w.c_str(), MAX_PATH, full, nullptr);
  return got != 0 && got < MAX_PATH && _wcsicmp(full, want) == 0;
}

// Named pipes, consoles, serial ports and the other devices live in the
// device namespace (full paths that begin with two backslashes, a dot and a
// backslash, or the pipe folder of the long form), and the reserved names
// (CON, NUL, COM1, ...) lead there wherever they stand in a path: the full
// path tells.
bool device_name(const std::wstring &w) {
  if (w.empty()) return false;
  wchar_t full[MAX_PATH];
  const DWORD got = GetFullPathNameW(w.c_str(), MAX_PATH, full, nullptr);
  if (got == 0 || got >= MAX_PATH) return false;
  return std::wcsncmp(full, L"\\\\.\\", 4) == 0 || _wcsnicmp(full, L"\\\\?\\pipe\\", 9) == 0;
}

DWORD attributes_of(const char *path) {
  const std::wstring w = ge_wide_path(path);
  return w.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(w.c_str());
}

bool file_identity(const char *path, BY_HANDLE_FILE_INFORMATION *info) {
  const std::wstring w = ge_wide_path(path);
  if (w.empty()) return false;
  HANDLE h = CreateFileW(w.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BOOL ok = GetFileInformationByHandle(h, info);
  CloseHandle(h);
  return ok != 0;
}

}  // namespace

// FFmpeg's file protocol applies the same rule with the limit at MAX_PATH
// (libavutil/wchar_filename.h), so every path it opens in the long form is
// long here too, and both name the same file.
std::wstring ge_wide_path(const char *utf8) {
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, &w[0], n);
  w.resize(static_cast<size_t>(n) - 1);
  if (w.empty() || long_form(w)) return w;
  const std::wstring full = full_form(w);
  if (full.size() < MAX_PATH - 12) return w;
  if (full.compare(0, 4, L"\\\\.\\") == 0) return w;  // a device keeps its name
  if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);  // \\server\share
  return L"\\\\?\\" + full;
}

ge_file_kind ge_file_kind_at(const char *path) {
  if (device_name(ge_wide_path(path))) return ge_file_kind::other;
  const DWORD attrs = attributes_of(path);
  if (attrs == INVALID_FILE_ATTRIBUTES) return ge_file_kind::missing;
  if (attrs & FILE_ATTRIBUTE_REPARSE_POINT) return ge_file_kind::link;
  if (attrs & FILE_ATTRIBUTE_DIRECTORY) return ge_file_kind::directory;
  return ge_file_kind::regular;
}

void ge_remove_output(const char *path) {
  // Only files (and file symlinks, as links) go; DeleteFileW leaves
  // directories and devices alone anyway.
  const DWORD attrs = attributes_of(path);
  if (attrs == INVALID_FILE_ATTRIBUTES || (attrs & FILE_ATTRIBUTE_DIRECTORY)) return;
  DeleteFileW(ge_wide_path(path).c_str());
}

bool ge_is_pipe_or_socket(const char *path) {
  // Opening a device may wait for the other end (a pipe, the console's
  // input). NUL never waits.
  const std::wstring w = ge_wide_path(path);
  return device_name(w) && !full_path_is(w, L"\\\\.\\NUL");
}

int ge_regular_file_error(const char *path) {
  const std::wstring w = ge_wide_path(path);
  if (w.empty()) return ENOENT;
  // Consoles, pipes, serial ports and NUL: never a file, whatever follows.
  if (device_name(w)) return EINVAL;
  const DWORD attrs = GetFileAttributesW(w.c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES)
    return GetLastError() == ERROR_ACCESS_DENIED ? EACCES : ENOENT;
  if (!(attrs & FILE_ATTRIBUTE_REPARSE_POINT))
    return (attrs & FILE_ATTRIBUTE_DIRECTORY) ? EISDIR : 0;
  // A link: a handle opened without access rights follows it and reads
  // nothing; its type and attributes tell what the path finally names.
  HANDLE h = CreateFileW(w.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return ENOENT;
  BY_HANDLE_FILE_INFORMATION info;
  int error = EINVAL;
  if (GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, &info))
    error = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? EISDIR : 0;
  CloseHandle(h);
  return error;
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
  const std::wstring wfrom = ge_wide_path(from), wto = ge_wide_path(to);
  if (wfrom.empty() || wto.empty()) return false;
  return MoveFileExW(wfrom.c_str(), wto.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool ge_path_can_name_a_file(const char *path) { return !ge_wide_path(path).empty(); }

int64_t ge_file_size(const char *path) {
  const std::wstring w = ge_wide_path(path);
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (w.empty() || !GetFileAttributesExW(w.c_str(), GetFileExInfoStandard, &data)) return 0;
  return static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
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

int ge_regular_file_error(const char *path) {
  struct stat st;
  if (stat(path, &st) != 0) return errno != 0 ? errno : ENOENT;
  if (S_ISREG(st.st_mode)) return 0;
  return S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
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

bool ge_path_can_name_a_file(const char *path) { return path[0] != '\0'; }

int64_t ge_file_size(const char *path) {
  struct stat st;
  return stat(path, &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
}

unsigned long ge_process_id() { return static_cast<unsigned long>(getpid()); }
#endif

bool ge_temp_path_beside(const char *final_path, int slot, char *out, size_t cap) {
  const char *slash = std::strrchr(final_path, '/');
#if defined(_WIN32)
  const char *backslash = std::strrchr(final_path, '\\');
  if (backslash != nullptr && (slash == nullptr || backslash > slash)) slash = backslash;
  if (slash == nullptr && final_path[0] != '\0' && final_path[1] == ':') slash = final_path + 1;
#endif
  const int dir_len = slash ? static_cast<int>(slash - final_path) + 1 : 0;
  // Hidden, so a file left by a killed process does not pass for a GIF.
  const int n = std::snprintf(out, cap, "%.*s.gifexport-%lu-%d.tmp", dir_len, final_path,
                              ge_process_id(), slot);
  return n > 0 && static_cast<size_t>(n) < cap;
}
