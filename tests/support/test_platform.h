// SPDX-License-Identifier: MIT
// The few file-system and process calls the tests make, for POSIX and
// Windows alike. Paths are UTF-8, as the library takes them; on Windows they
// go through std::filesystem's wide paths, so non-ASCII names work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace testplat {

// The path object for a UTF-8 path (std::filesystem reads narrow strings in
// the ANSI code page on Windows).
std::filesystem::path fs_path(const std::string &utf8);

// A new empty folder under the system's temporary folder, named from prefix.
// Aborts the test program when none can be made.
std::string make_temp_dir(const std::string &prefix);

bool make_dir(const std::string &path);
bool hard_link(const std::string &existing, const std::string &new_name);
// Windows lets only privileged or developer-mode users make symbolic links:
// callers skip when this fails there.
bool make_symlink(const std::string &target, const std::string &link);
bool is_symlink(const std::string &path);
// True when anything stands at path, a dangling link included.
bool exists(const std::string &path);
// The names (not paths) in a folder; empty when it cannot be read.
std::vector<std::string> list_dir(const std::string &path);
int64_t file_size(const std::string &path);

// The process's current folder (UTF-8, forward slashes), and a change of it.
// It is the whole process's: a test that changes it restores it.
std::string current_dir();
bool set_current_dir(const std::string &path);

void set_env(const char *name, const char *value);
void unset_env(const char *name);

// What the process holds, for checks that nothing is left behind: open
// descriptors (handles on Windows), threads, and resident memory in kB after
// freed heap pages are handed back where the C library can (glibc).
int open_handle_count();
long thread_count();
long resident_kb();

// Runs fn on a new detached thread whose stack is stack_bytes, smaller than
// the main thread's (some hosts give their threads 1 or 2 MiB): fn reports
// its own end to whoever waits. False when no such thread could be made.
bool start_detached_thread(size_t stack_bytes, std::function<void()> fn);

// Gives freed heap pages back to the system where the C library can (glibc),
// so a later reading of the process's memory shows what is still held.
void release_free_memory();

}  // namespace testplat
