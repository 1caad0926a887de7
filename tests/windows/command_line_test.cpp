// Where the program's own name ends in its command line, as Windows callers
// write it: quoted, or an unquoted path with blanks in it. Windows code only.
#include "platform/windows/command_line.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "platform/windows/text.h"
#include "windows_runs.h"

namespace lull::testing {
namespace {

using platform::argument_text;

const std::wstring module = L"C:\\Program Files\\Jobs\\nightly.exe";

// The current folder for one test.
struct InFolder {
  explicit InFolder(const wchar_t* folder) {
    ::GetCurrentDirectoryW(MAX_PATH, was);
    ::SetCurrentDirectoryW(folder);
  }
  ~InFolder() { ::SetCurrentDirectoryW(was); }
  wchar_t was[MAX_PATH] = {};
};

TEST(WindowsCommandLine, AnUnquotedPathWithBlanksIsTheProgramsNameAsTheSystemReadsIt) {
  const InFolder program_files(L"C:\\Program Files");
  struct Case {
    std::wstring line;
    std::string arguments;
  };
  const std::vector<Case> cases = {
      {L"C:\\Program Files\\Jobs\\nightly.exe /x  y", "/x  y"},
      {L"c:\\program files\\JOBS\\NIGHTLY.EXE /x", "/x"},  // letter case
      {L"C:\\Program Files\\Jobs\\nightly /x", "/x"},      // ".exe" left off
      {L"C:/Program Files/Jobs/nightly.exe /x", "/x"},
      {L"C:\\Program Files\\Jobs\\nightly.exe. /x", "/x"},  // a trailing dot, dropped
      {L"C:\\Program Files\\Jobs\\nightly.exe\t/x", "/x"},
      {L"C:\\Program Files\\Jobs\\old\\..\\nightly.exe /x", "/x"},
      {L"C:\\Program Files\\Jobs\\nightly.exe\\. /x", "/x"},  // a last part of dots alone
      {L"Jobs\\nightly.exe /x", "/x"},                        // relative
      {L"nightly /x", "/x"},                                  // searched for by the system
      // No start names the program: the name ends at the first blank.
      {L"other.exe C:\\Program Files\\Jobs\\nightly.exe /x",
       "C:\\Program Files\\Jobs\\nightly.exe /x"},
      {L"C:\\Program Files\\Jobs\\nightly.exe.old /x", "Files\\Jobs\\nightly.exe.old /x"},
  };
  for (const auto& [line, arguments] : cases) {
    SCOPED_TRACE(arguments);
    EXPECT_EQ(argument_text(line, module), arguments);
  }
}

// Resolving a start of the line costs its length: only starts that end in
// the program's name and are no longer than its path by more than MAX_PATH
// are resolved, so a long line costs a bounded number of short resolutions.
TEST(WindowsCommandLine, OnlyStartsThatMayNameTheProgramAreResolved) {
  std::vector<std::size_t> resolved;
  const platform::FullPathOf counted = [&](const std::wstring& name) {
    resolved.push_back(name.size());
    return platform::full_path_of(name);
  };
  struct Case {
    std::wstring line;
    std::size_t at_most;
  };
  const std::wstring blanks(32000, L' ');
  std::wstring paths = L"C:\\PROGRA~1\\Jobs\\nightly.exe";
  for (int i = 0; i < 1500; ++i) paths += L" C:\\data\\part" + std::to_wstring(i) + L".txt";
  std::wstring names = L"other.exe";
  for (int i = 0; i < 2000; ++i) names += L" D:\\nightly.exe";
  const std::vector<Case> cases = {{L"C:\\PROGRA~1\\Jobs\\nightly.exe" + blanks + L"x", 1},
                                   {paths, 1},
                                   {names, (module.size() + MAX_PATH) / 15}};
  for (const auto& [line, at_most] : cases) {
    resolved.clear();
    // The name ends at the first blank.
    const std::size_t after = line.find_first_not_of(L' ', line.find(L' '));
    EXPECT_EQ(argument_text(line, module, counted), platform::utf8(line.substr(after)));
    EXPECT_LE(resolved.size(), at_most);
    for (const std::size_t length : resolved) EXPECT_LE(length, module.size() + MAX_PATH);
  }
}

}  // namespace
}  // namespace lull::testing
