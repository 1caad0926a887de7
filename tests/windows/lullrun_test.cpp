// lullrun.exe end to end, on a desktop: real wrappers starting the test
// child, as a user starts them. Windows code only.
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "windows_runs.h"

namespace lull::testing {
namespace {

const std::string java_template =
    "Java_Executable_Path=\r\nClass_path_to_use=\r\nClass_to_run=\r\nArgs_if_any=\r\n"
    "Java_run_minimized_no_focus=\r\n";

struct Installed : InstalledWrapper {
  explicit Installed(const std::string& folder)
      : InstalledWrapper(folder, lullrun_exe(), "lullrun") {}
};

// The command " -classpath . " cannot start: no child, an error status, and
// no waiting for a tick.
TEST(LullrunJavaMode, FirstRunLeavesTheTemplateAndEndsAtOnce) {
  ScratchFolder scratch;
  expect_no_start(Installed(scratch.path().string()), java_template);
}

TEST(LullrunJavaMode, StartsTheComposedCommandLineIdleAndShownNormally) {
  ScratchFolder scratch;
  const Installed full(scratch / "full");
  write_file(full.settings, "Java_Executable_Path=" + child_exe() +
                                "\r\nClass_path_to_use=lib;more\r\nClass_to_run=org.example.Main"
                                "\r\nArgs_if_any=-v  \"two words\"\r\n");
  const Installed bare(scratch / "bare");
  write_file(bare.settings, "Class_to_run=Main\r\nJava_Executable_Path=" + child_exe() + "\r\n");
  // The start service is given no folder: the child runs where the wrapper
  // was started, not where it lies.
  const std::string started_in = scratch.path().string();
  Launch full_run(quoted(full.program), started_in, full.report);
  Launch bare_run(quoted(bare.program), started_in, bare.report);
  ASSERT_TRUE(full_run.wait());
  ASSERT_TRUE(bare_run.wait());

  const Report seen = read_report(full.report);
  EXPECT_EQ(seen.at("command"),
            child_exe() + " -classpath lib;more org.example.Main -v  \"two words\"");
  EXPECT_EQ(number(seen, "priority"), std::uint64_t{IDLE_PRIORITY_CLASS});
  EXPECT_TRUE(number(seen, "flags") & STARTF_USESHOWWINDOW);
  EXPECT_EQ(number(seen, "show"), std::uint64_t{SW_SHOWNORMAL});
  EXPECT_EQ(seen.at("folder"), started_in);
  EXPECT_EQ(full_run.exit_code(), 0u);

  EXPECT_EQ(read_report(bare.report).at("command"), child_exe() + " -classpath . Main");
  // Every key it asked for and missed is appended, in the order asked.
  EXPECT_EQ(read_file(bare.settings), "Class_to_run=Main\r\nJava_Executable_Path=" + child_exe() +
                                          "\r\nClass_path_to_use=\r\nArgs_if_any=\r\n"
                                          "Java_run_minimized_no_focus=\r\n");
}

TEST(LullrunWindowStyle, TrueInAnyLetterCaseMinimizesWithoutFocus) {
  struct Case {
    std::string key;
    std::string value;
    std::uint64_t show;
  };
  const std::vector<Case> cases = {
      {"Java_run_minimized_no_focus", "TRUE", SW_SHOWMINNOACTIVE},
      {"Java_run_minimized_no_focus", "true", SW_SHOWMINNOACTIVE},
      {"Java_run_minimized_no_focus", "True", SW_SHOWMINNOACTIVE},
      {"Java_run_minimized_no_focus", "yes", SW_SHOWNORMAL},
      {"Java_run_minimized_no_focus", "", SW_SHOWNORMAL},
      {"Extern_run_minimized_no_focus", "tRuE", SW_SHOWMINNOACTIVE},
      {"Extern_run_minimized_no_focus", "1", SW_SHOWNORMAL},
  };
  ScratchFolder scratch;
  std::vector<Installed> wrappers;
  std::vector<std::unique_ptr<Launch>> runs;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Installed& lullrun = wrappers.emplace_back(scratch / ("case" + std::to_string(i)));
    const bool java = cases[i].key.rfind("Java", 0) == 0;
    write_file(lullrun.settings, (java ? "Java_Executable_Path=" + child_exe() + "\r\n" : "") +
                                     cases[i].key + "=" + cases[i].value + "\r\n");
    const std::string arguments = java ? "" : " " + child_exe();
    runs.push_back(std::make_unique<Launch>(quoted(lullrun.program) + arguments, lullrun.folder,
                                            lullrun.report));
  }
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].key + "=" + cases[i].value);
    ASSERT_TRUE(runs[i]->wait());
    const Report seen = read_report(wrappers[i].report);
    EXPECT_TRUE(number(seen, "flags") & STARTF_USESHOWWINDOW);
    EXPECT_EQ(number(seen, "show"), cases[i].show);
  }
}

TEST(LullrunPassThrough, HandsOverTheRawTextUnchanged) {
  ScratchFolder scratch;
  // A quoted program path with a blank in it, blanks and tabs after it, and
  // quotes, backslashes and trailing blanks in the text.
  const Installed spaced(scratch / "with blank");
  const std::string raw = quoted(child_exe()) + "  a   \"b c\"  d\\\"e \\\\ ";
  Launch spaced_run(quoted(spaced.program) + " \t  " + raw, spaced.folder, spaced.report);
  // An unquoted program name ends at the first blank.
  const Installed plain(scratch / "plain");
  Launch plain_run(plain.program + " " + child_exe() + " x", plain.folder, plain.report);
  ASSERT_TRUE(spaced_run.wait());
  ASSERT_TRUE(plain_run.wait());

  const Report seen = read_report(spaced.report);
  EXPECT_EQ(seen.at("command"), raw);
  EXPECT_EQ(number(seen, "priority"), std::uint64_t{IDLE_PRIORITY_CLASS});
  EXPECT_EQ(read_report(plain.report).at("command"), child_exe() + " x");
  // Pass-through reads its one key and nothing else.
  EXPECT_EQ(read_file(spaced.settings), "Extern_run_minimized_no_focus=\r\n");
}

TEST(LullrunPassThrough, EndsAtOnceWhenTheCommandCannotStart) {
  ScratchFolder scratch;
  const Installed lullrun(scratch.path().string());
  // A settings file whose last line has no line end gets one first.
  write_file(lullrun.settings, "Other=1");
  EXPECT_EQ(expect_no_start(lullrun, "Other=1\r\nExtern_run_minimized_no_focus=\r\n",
                            " no-such-program-anywhere.exe --flag"),
            DWORD{ERROR_FILE_NOT_FOUND});
}

TEST(LullrunIdentity, ACopyUnderAnotherNameReadsItsOwnSettings) {
  ScratchFolder scratch;
  // The base name drops only the last extension.
  const std::string program = install(lullrun_exe(), scratch.path().string(), "nightly.job.exe");
  Launch run(quoted(program) + " no-such-program-anywhere.exe", scratch.path().string(),
             scratch / "child-report.txt");
  ASSERT_TRUE(run.wait());
  EXPECT_EQ(read_file(scratch / "nightly.job.properties"), "Extern_run_minimized_no_focus=\r\n");
  EXPECT_FALSE(file_exists(scratch / "lullrun.properties"));
}

TEST(LullrunIdentity, FolderNameSettingsAndArgumentsBeyondTheAnsiCodePage) {
  check_beyond_ansi(lullrun_exe(), java_template, false);
}

TEST(LullrunWatch, EndsWithinOneTickOfItsChildsEnd) {
  ScratchFolder scratch;
  const Installed lullrun(scratch.path().string());
  // The child outlives the first tick, so its end is found by a later one.
  Launch run(quoted(lullrun.program) + " " + child_exe(), lullrun.folder, lullrun.report, 6000);
  ASSERT_TRUE(run.wait());
  const Report seen = read_report(lullrun.report);
  ASSERT_NE(number(seen, "ended"), 0u) << "the wrapper ended before its child";
  const double after_child_ms = ms_between(number(seen, "ended"), run.ended_at());
  EXPECT_GT(after_child_ms, 0.0);
  EXPECT_LT(after_child_ms, tick_ms + 2000.0);
  EXPECT_EQ(run.exit_code(), 0u);
}

TEST(LullrunWatch, AHandleSomeoneElseHoldsDoesNotKeepItAlive) {
  ScratchFolder scratch;
  const Installed lullrun(scratch.path().string());
  Launch run(quoted(lullrun.program) + " " + child_exe(), lullrun.folder, lullrun.report, 1000);
  ASSERT_TRUE(await_report(lullrun.report));
  // Held, as a process viewer or virus scanner would, past the child's end.
  HANDLE held = ::OpenProcess(SYNCHRONIZE, FALSE,
                              static_cast<DWORD>(number(read_report(lullrun.report), "pid")));
  ASSERT_NE(held, nullptr);
  EXPECT_TRUE(run.wait());
  EXPECT_EQ(::WaitForSingleObject(held, 0), WAIT_OBJECT_0);
  ::CloseHandle(held);
}

struct FoundWindow {
  DWORD process;
  HWND window;
};

// The top-level window of process `id`; null when it has none.
HWND window_of(DWORD id) {
  FoundWindow found{id, nullptr};
  ::EnumWindows(
      [](HWND window, LPARAM data) -> BOOL {
        auto* wanted = reinterpret_cast<FoundWindow*>(data);
        DWORD owner = 0;
        ::GetWindowThreadProcessId(window, &owner);
        if (owner != wanted->process) return TRUE;
        wanted->window = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&found));
  return found.window;
}

TEST(LullrunWindow, IsAHiddenTopLevelWindowOfItsOwnClass) {
  ScratchFolder scratch;
  const Installed lullrun(scratch.path().string());
  Launch run(quoted(lullrun.program) + " " + child_exe(), lullrun.folder, lullrun.report, 5000);
  ASSERT_TRUE(await_report(lullrun.report));
  const FoundWindow found{run.id(), window_of(run.id())};
  ASSERT_NE(found.window, nullptr) << "the wrapper has no top-level window";
  char caption[64] = {};
  ::GetWindowTextA(found.window, caption, sizeof caption);
  EXPECT_STREQ(caption, "program wrapper");
  EXPECT_FALSE(::IsWindowVisible(found.window));
  EXPECT_EQ(::GetAncestor(found.window, GA_ROOT), found.window);
  // A class of the program's own; its icon, the program's, is asked of the
  // class, which Wine answers only inside the program.
  char window_class[64] = {};
  ::GetClassNameA(found.window, window_class, sizeof window_class);
  EXPECT_STREQ(window_class, "lull.Form1");
  // Closed as taskkill without /F closes it: the wrapper ends, but not as if its child had.
  ::PostMessageA(found.window, WM_CLOSE, 0, 0);
  EXPECT_TRUE(run.wait());
  EXPECT_EQ(run.exit_code(), DWORD{ERROR_CANCELLED});
}

// The user logs off (or the machine shuts down) while the job runs: the
// wrapper never holds it up, and ends at once with 1223, not as if the job
// had finished; the child is left to the session's end, as the system ends
// every process of the session. A log-off called off changes nothing, and
// after the child's end the session's end gives its status, 0.
TEST(LullrunSession, ItsEndEndsTheWrapperWith1223WhileTheChildRuns) {
  ScratchFolder scratch;
  const Installed running(scratch / "running");
  const Installed done(scratch / "done");
  Launch running_run(quoted(running.program) + " " + child_exe(), running.folder, running.report,
                     8000);
  Launch done_run(quoted(done.program) + " " + child_exe(), done.folder, done.report, 500);
  ASSERT_TRUE(await_report(running.report));
  ASSERT_TRUE(await_report(done.report));
  const HWND window = window_of(running_run.id());
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(::SendMessageA(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), TRUE);
  ::SendMessageA(window, WM_ENDSESSION, FALSE, ENDSESSION_LOGOFF);
  EXPECT_FALSE(running_run.wait(500));
  ::SendMessageA(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
  ASSERT_TRUE(running_run.wait(1000));
  EXPECT_EQ(running_run.exit_code(), DWORD{ERROR_CANCELLED});
  EXPECT_EQ(number(read_report(running.report), "ended"), 0u) << "the child did not run on";

  // Its child gone, before the tick that would find it so.
  while (number(read_report(done.report), "ended") == 0) ::Sleep(50);
  ::SendMessageA(window_of(done_run.id()), WM_ENDSESSION, TRUE, 0);
  ASSERT_TRUE(done_run.wait(1000));
  EXPECT_EQ(done_run.exit_code(), 0u);
  EXPECT_LT(done_run.lifetime_ms(), tick_ms);
}

// A settings path of 260 characters or more is opened in the form the limit
// does not hold; Wine does not hold it either, so the debug line tells.
TEST(LullrunIdentity, ASettingsPathBeyondMaxPathIsOpenedInTheLongForm) {
  ScratchFolder scratch;
  // The program's path 255 characters long, its settings file's 262.
  std::string folder = scratch.path().string();
  const std::size_t wanted = MAX_PATH - 17;
  while (folder.size() < wanted) {
    const std::size_t left = wanted - folder.size();
    folder += "\\" + std::string(left > 42 ? 40 : left - 1, 'd');
    ::CreateDirectoryW(wide(folder).c_str(), nullptr);
  }
  Installed lullrun(folder);
  lullrun.report = scratch / "report.txt";  // the test child writes to short paths only
  ASSERT_LT(lullrun.program.size(), std::size_t{MAX_PATH});
  ASSERT_GE(lullrun.settings.size(), std::size_t{MAX_PATH});
  Launch run(lull::testing::quoted(lullrun.program) + " " + child_exe(), scratch.path().string(),
             lullrun.report, 0, "1", lullrun.program);
  const std::string lines = run.debug_output();
  ASSERT_TRUE(run.wait());
  EXPECT_NE(lines.find("settings file \\\\?\\" + lullrun.settings + ": error 2\n"),
            std::string::npos)
      << lines;
  EXPECT_EQ(read_report(lullrun.report)["command"], child_exe());
  EXPECT_EQ(read_file("\\\\?\\" + lullrun.settings), "Extern_run_minimized_no_focus=\r\n");
}

}  // namespace
}  // namespace lull::testing
