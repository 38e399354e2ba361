// SPDX-License-Identifier: MIT
// The UTF-16 form in which the library hands a path to Windows' file calls.
// What decides on the \\?\ form is the length of the full path, as in
// FFmpeg's file protocol: a short relative name in a deep current folder is
// over the 260-character limit too, and the long form is made of the full
// path, since Windows does not normalise a \\?\ path. Wine takes long paths
// without the prefix, so the form is checked here rather than through a
// failing file call, as a real Windows would give.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "platform/files.h"

namespace {

std::wstring full_of(const std::wstring &path) {
  const DWORD need = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  std::wstring full(need, L'\0');
  const DWORD got = GetFullPathNameW(path.c_str(), need, &full[0], nullptr);
  full.resize(got);
  return full;
}

std::wstring wide(const std::string &ascii) { return std::wstring(ascii.begin(), ascii.end()); }

TEST(WidePath, TheFullFormDecidesOnTheLongForm) {
  // 246 characters as given: below the limit (248) even in a root folder
  // (C:\ adds 3); the full form in any current folder is over it.
  const std::string rel = std::string(242, 'r') + ".gif";
  wchar_t cwd[MAX_PATH];
  ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, cwd), 1u);
  const std::string drive(1, static_cast<char>(cwd[0]));
  const std::string long_name = std::string(300, 'n') + ".gif";
  const struct {
    std::string path;
    std::wstring want;
  } cases[] = {
      // Relative, in the current folder: the full form, prefixed.
      {rel, L"\\\\?\\" + full_of(wide(rel))},
      {".\\" + rel, L"\\\\?\\" + full_of(wide(rel))},
      {"sub/../" + rel, L"\\\\?\\" + full_of(wide(rel))},
      // Drive-relative: against that drive's current folder.
      {drive + ":" + rel, L"\\\\?\\" + full_of(wide(drive + ":" + rel))},
      // Short in full: as given.
      {"out.gif", L"out.gif"},
      {"C:\\videos\\out.gif", L"C:\\videos\\out.gif"},
      // Absolute and long: normalised (slashes, ".") before the prefix.
      {"C:\\" + long_name, L"\\\\?\\C:\\" + wide(long_name)},
      {"C:/a/./b/" + long_name, L"\\\\?\\C:\\a\\b\\" + wide(long_name)},
      // A share: the UNC long form.
      {"\\\\server\\share\\" + long_name, L"\\\\?\\UNC\\server\\share\\" + wide(long_name)},
      {"//server/share/" + long_name, L"\\\\?\\UNC\\server\\share\\" + wide(long_name)},
      // Already long, or a device: untouched.
      {"\\\\?\\C:\\" + long_name, L"\\\\?\\C:\\" + wide(long_name)},
      {"\\??\\C:\\" + long_name, L"\\??\\C:\\" + wide(long_name)},
      {"\\\\.\\pipe\\" + long_name, L"\\\\.\\pipe\\" + wide(long_name)},
      // Names no file.
      {"", L""},
      {"bad \xff name.gif", L""},
  };
  for (const auto &c : cases) EXPECT_EQ(ge_wide_path(c.path.c_str()), c.want) << c.path;
}

TEST(WidePath, CountsUtf16Units) {
  // An emoji is 4 bytes of UTF-8 and 2 UTF-16 units: C:\ and 120 of them
  // make 243 units (short), 125 make 253 (long), both over 248 bytes.
  const auto emoji_path = [](int count, std::string *utf8, std::wstring *utf16) {
    *utf8 = "C:\\";
    *utf16 = L"C:\\";
    for (int i = 0; i < count; ++i) {
      *utf8 += "\xf0\x9f\x98\x80";  // U+1F600
      *utf16 += L"\U0001F600";
    }
  };
  std::string utf8;
  std::wstring utf16;
  emoji_path(120, &utf8, &utf16);
  EXPECT_EQ(ge_wide_path(utf8.c_str()), utf16);
  emoji_path(125, &utf8, &utf16);
  EXPECT_EQ(ge_wide_path(utf8.c_str()), L"\\\\?\\" + utf16);
}

}  // namespace
