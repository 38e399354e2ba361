// SPDX-License-Identifier: MIT
#include "support/test_platform.h"

#include <cstdlib>
#include <memory>
#include <random>
#include <system_error>

#if defined(_WIN32)
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>
#else
#include <pthread.h>

#include <fstream>
#endif
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace fs = std::filesystem;

namespace testplat {

fs::path fs_path(const std::string &utf8) { return fs::u8path(utf8); }

std::string make_temp_dir(const std::string &prefix) {
  std::error_code ec;
  const fs::path base = fs::temp_directory_path(ec);
  if (ec) std::abort();
  std::random_device rd;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path dir = base / (prefix + std::to_string(rd()));
    if (fs::create_directory(dir, ec) && !ec) {
      // Forward slashes throughout, so tests may append "/name" on Windows too.
      return dir.generic_u8string();
    }
  }
  std::abort();
}

bool make_dir(const std::string &path) {
  std::error_code ec;
  return fs::create_directory(fs_path(path), ec) && !ec;
}

bool hard_link(const std::string &existing, const std::string &new_name) {
  std::error_code ec;
  fs::create_hard_link(fs_path(existing), fs_path(new_name), ec);
  return !ec;
}

bool make_symlink(const std::string &target, const std::string &link) {
  std::error_code ec;
  fs::create_symlink(fs_path(target), fs_path(link), ec);
  return !ec;
}

bool is_symlink(const std::string &path) {
  std::error_code ec;
  return fs::is_symlink(fs::symlink_status(fs_path(path), ec));
}

bool exists(const std::string &path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(fs_path(path), ec));
}

#if defined(_WIN32)
// std::filesystem's directory iterator goes through mingw-w64's _wopendir,
// which cannot take a folder whose full path passes MAX_PATH (and then lists
// another one). FindFirstFileW reads any folder given in the \\?\ form.
std::vector<std::string> list_dir(const std::string &path) {
  std::vector<std::string> names;
  std::error_code ec;
  std::wstring dir = fs::absolute(fs_path(path), ec).make_preferred().native();
  if (ec) return names;
  if (dir.compare(0, 4, L"\\\\?\\") != 0)
    dir = dir.compare(0, 2, L"\\\\") == 0 ? L"\\\\?\\UNC\\" + dir.substr(2) : L"\\\\?\\" + dir;
  WIN32_FIND_DATAW found;
  HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &found);
  if (h == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(fs::path(name).u8string());
  } while (FindNextFileW(h, &found));
  FindClose(h);
  return names;
}
#else
std::vector<std::string> list_dir(const std::string &path) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(fs_path(path), ec), end; !ec && it != end; it.increment(ec))
    names.push_back(it->path().filename().u8string());
  return names;
}
#endif

int64_t file_size(const std::string &path) {
  std::error_code ec;
  const auto size = fs::file_size(fs_path(path), ec);
  return ec ? -1 : static_cast<int64_t>(size);
}

std::string current_dir() {
  std::error_code ec;
  const fs::path dir = fs::current_path(ec);
  return ec ? std::string() : dir.generic_u8string();
}

bool set_current_dir(const std::string &path) {
  std::error_code ec;
  fs::current_path(fs_path(path), ec);
  return !ec;
}

void set_env(const char *name, const char *value) {
#if defined(_WIN32)
  _putenv_s(name, value);
#else
  setenv(name, value, 1);
#endif
}

void unset_env(const char *name) {
#if defined(_WIN32)
  _putenv_s(name, "");
#else
  unsetenv(name);
#endif
}

void release_free_memory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

namespace {

struct detached_body {
  std::function<void()> fn;
};

#if defined(_WIN32)
DWORD WINAPI run_body(void *arg) {
#else
void *run_body(void *arg) {
#endif
  std::unique_ptr<detached_body> body(static_cast<detached_body *>(arg));
  body->fn();
#if defined(_WIN32)
  return 0;
#else
  return nullptr;
#endif
}

}  // namespace

bool start_detached_thread(size_t stack_bytes, std::function<void()> fn) {
  auto body = std::make_unique<detached_body>(detached_body{std::move(fn)});
#if defined(_WIN32)
  HANDLE h = CreateThread(nullptr, stack_bytes, run_body, body.get(),
                          STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (h == nullptr) return false;
  CloseHandle(h);
#else
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  pthread_t tid;
  const bool started = pthread_attr_setstacksize(&attr, stack_bytes) == 0 &&
                       pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) == 0 &&
                       pthread_create(&tid, &attr, run_body, body.get()) == 0;
  pthread_attr_destroy(&attr);
  if (!started) return false;
#endif
  body.release();  // the thread's now
  return true;
}

#if defined(_WIN32)
int open_handle_count() {
  DWORD n = 0;
  return GetProcessHandleCount(GetCurrentProcess(), &n) ? static_cast<int>(n) : -1;
}

long thread_count() {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snap == INVALID_HANDLE_VALUE) return -1;
  long n = 0;
  THREADENTRY32 te;
  te.dwSize = sizeof te;
  for (BOOL more = Thread32First(snap, &te); more; more = Thread32Next(snap, &te))
    if (te.th32OwnerProcessID == GetCurrentProcessId()) ++n;
  CloseHandle(snap);
  return n;
}

long resident_kb() {
  PROCESS_MEMORY_COUNTERS pmc;
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc)) return -1;
  return static_cast<long>(pmc.WorkingSetSize / 1024);
}
#else
namespace {
// A field of /proc/self/status, such as "Threads" or "VmRSS" (kB).
long proc_status(const char *field) {
  std::ifstream in("/proc/self/status");
  std::string key;
  while (in >> key) {
    if (key == std::string(field) + ":") {
      long value = 0;
      in >> value;
      return value;
    }
    std::getline(in, key);
  }
  return -1;
}
}  // namespace

int open_handle_count() { return static_cast<int>(list_dir("/proc/self/fd").size()); }

long thread_count() { return proc_status("Threads"); }

long resident_kb() {
  release_free_memory();
  return proc_status("VmRSS");
}
#endif

}  // namespace testplat
