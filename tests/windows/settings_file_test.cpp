// The settings lookup on Windows against real files: UTF-16 files of either
// byte order and any line end, and files whose text could not be appended
// to so that it reads back. Windows code only.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "settings/ini_stripper.h"
#include "windows_runs.h"

namespace lull::testing {
namespace {

std::string utf16_file(const std::string& text, bool big_endian) {
  return (big_endian ? "\xFE\xFF" : "\xFF\xFE") + utf16(text, big_endian);
}

// A missing key goes on a line of its own, in the file's byte order and with
// its line end; a last line left open is ended first.
TEST(WindowsSettingsFile, AUtf16FileGetsTheKeyInItsOwnByteOrderAndLineEnd) {
  ScratchFolder scratch;
  const std::string file = scratch / "job.properties";
  for (const bool big_endian : {false, true}) {
    for (const std::string end : {"\r\n", "\n", "\r"}) {
      for (const bool open : {false, true}) {
        SCOPED_TRACE(std::to_string(big_endian) + std::to_string(end.size()) +
                     std::to_string(open));
        const std::string before =
            utf16_file("A=1" + end + "B=Zoë 作業" + (open ? "" : end), big_endian);
        write_file(file, before);
        EXPECT_EQ(INIStripper("B", file), "Zoë 作業");
        EXPECT_EQ(INIStripper("Key", file), "");
        EXPECT_EQ(read_file(file), before + utf16((open ? end : "") + "Key=" + end, big_endian));
        EXPECT_EQ(INIStripper("Key", file), "");
      }
    }
  }
}

// A UTF-16 file of odd length: single-byte text added to it (cmd's
// "echo Class_path_to_use=lib>>" after PowerShell 5.1's ">"), or one stray
// byte. A key appended there would start inside a character, never read
// back, and be appended again on every run: the file is left as it is.
TEST(WindowsSettingsFile, AUtf16FileOfOddLengthIsNotAppendedTo) {
  ScratchFolder scratch;
  const std::string file = scratch / "job.properties";
  const std::vector<std::string> files = {
      utf16_file("Class_to_run=Main\r\n", false) + "Class_path_to_use=lib\r\n",
      utf16_file("Class_to_run=Main\r\n", false) + "\n",
      utf16_file("Class_to_run=Main\r\n", true) + "\r"};
  for (const std::string& before : files) {
    write_file(file, before);
    for (int run = 0; run < 2; ++run) {
      EXPECT_EQ(INIStripper("Class_to_run", file), "Main");
      EXPECT_EQ(INIStripper("Args_if_any", file), "");
      EXPECT_EQ(read_file(file), before);
    }
  }
}

// Another program holds the file with write sharing but not read sharing:
// its encoding cannot be read, so nothing goes into it, neither in one
// encoding nor the other.
TEST(WindowsSettingsFile, NothingIsAppendedWhereTheEncodingCannotBeRead) {
  ScratchFolder scratch;
  const std::string file = scratch / "job.properties";
  for (const std::string& before :
       {utf16_file("Class_to_run=Main\r\n", false), std::string("Class_to_run=Main\r\n")}) {
    write_file(file, before);
    HANDLE holder = ::CreateFileW(wide(file).c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_EQ(INIStripper("Args_if_any", file), "");
    ::CloseHandle(holder);
    EXPECT_EQ(read_file(file), before);
  }
}

}  // namespace
}  // namespace lull::testing
