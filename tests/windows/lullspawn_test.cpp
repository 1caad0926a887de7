// lullspawn.exe end to end, on a desktop: its Java child created directly in
// the program's folder, and no settings read in pass-through mode. Windows
// code only.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "windows_runs.h"

namespace lull::testing {
namespace {

inline std::string lullspawn_exe() { return built_path(LULL_LULLSPAWN_EXE); }

struct Installed : InstalledWrapper {
  explicit Installed(const std::string& folder)
      : InstalledWrapper(folder, lullspawn_exe(), "lullspawn") {}
};

TEST(LullspawnJavaMode, FirstRunLeavesAFourKeyTemplateAndEndsAtOnce) {
  ScratchFolder scratch;
  expect_no_start(
      Installed(scratch.path().string()),
      "Java_Executable_Path=\r\nClass_path_to_use=\r\nClass_to_run=\r\nArgs_if_any=\r\n");
}

TEST(LullspawnJavaMode, CreatesTheChildInTheProgramsFolderThenSetsItIdle) {
  ScratchFolder scratch;
  const Installed lullspawn(scratch / "job folder");
  write_file(lullspawn.settings,
             "Java_Executable_Path=" + child_exe() + "\r\nClass_to_run=Main\r\nArgs_if_any=-q\r\n");
  // Started from elsewhere: the child still runs in the program's folder.
  Launch run(quoted(lullspawn.program), scratch.path().string(), lullspawn.report);
  ASSERT_TRUE(run.wait());
  const Report seen = read_report(lullspawn.report);
  EXPECT_EQ(seen.at("folder"), lullspawn.folder);
  EXPECT_EQ(seen.at("command"), child_exe() + " -classpath . Main -q");
  EXPECT_EQ(number(seen, "priority"), std::uint64_t{IDLE_PRIORITY_CLASS});
  // The start-up record asks nothing of the child's window.
  EXPECT_FALSE(number(seen, "flags") & STARTF_USESHOWWINDOW);
  EXPECT_EQ(run.exit_code(), 0u);
  // No window-style key is asked for.
  EXPECT_EQ(read_file(lullspawn.settings), "Java_Executable_Path=" + child_exe() +
                                               "\r\nClass_to_run=Main\r\nArgs_if_any=-q\r\n"
                                               "Class_path_to_use=\r\n");
}

TEST(LullspawnJavaMode, EndsAtOnceWhenCreationFails) {
  ScratchFolder scratch;
  const Installed lullspawn(scratch.path().string());
  const std::string settings =
      "Java_Executable_Path=Z:\\no\\such\\java.exe\r\nClass_path_to_use=.\r\nClass_to_run=Main\r\n"
      "Args_if_any=\r\n";
  write_file(lullspawn.settings, settings);
  expect_no_start(lullspawn, settings);
}

TEST(LullspawnPassThrough, ReadsNoSettingsAndAlwaysShowsNormally) {
  ScratchFolder scratch;
  const Installed without(scratch / "without");
  const Installed with(scratch / "with");
  write_file(with.settings, "Extern_run_minimized_no_focus=TRUE\r\n");
  Launch without_run(quoted(without.program) + "  " + child_exe() + " a  b", without.folder,
                     without.report);
  Launch with_run(quoted(with.program) + " " + child_exe(), with.folder, with.report);
  ASSERT_TRUE(without_run.wait());
  ASSERT_TRUE(with_run.wait());

  EXPECT_FALSE(file_exists(without.settings));
  const Report seen = read_report(without.report);
  EXPECT_EQ(seen.at("command"), child_exe() + " a  b");
  EXPECT_EQ(number(seen, "priority"), std::uint64_t{IDLE_PRIORITY_CLASS});
  EXPECT_EQ(read_file(with.settings), "Extern_run_minimized_no_focus=TRUE\r\n");
  EXPECT_EQ(number(read_report(with.report), "show"), std::uint64_t{SW_SHOWNORMAL});
}

TEST(LullspawnIdentity, FolderNameSettingsAndArgumentsBeyondTheAnsiCodePage) {
  check_beyond_ansi(
      lullspawn_exe(),
      "Java_Executable_Path=\r\nClass_path_to_use=\r\nClass_to_run=\r\nArgs_if_any=\r\n", true);
}

}  // namespace
}  // namespace lull::testing
