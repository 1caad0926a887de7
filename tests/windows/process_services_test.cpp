// The Windows process services against real processes, and lullrun.exe where
// there is no desktop to put a window on. Windows code only.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "platform/process.h"
#include "windows_runs.h"

namespace lull::testing {
namespace {

namespace platform = lull::platform;

// The services under test; what they learn of one start (its failure) is
// read back from the same object.
platform::ProcessServices services;

DWORD open_handles() {
  DWORD count = 0;
  ::GetProcessHandleCount(::GetCurrentProcess(), &count);
  return count;
}

// The test child, reporting to `report` and staying `stay_ms`, through the
// environment this process hands down.
platform::CommandLine child_reporting_to(const std::string& report, DWORD stay_ms,
                                         const std::string& arguments = "") {
  ::SetEnvironmentVariableA("LULL_CHILD_REPORT", report.c_str());
  ::SetEnvironmentVariableA("LULL_CHILD_STAY_MS", std::to_string(stay_ms).c_str());
  return platform::CommandLine::from_text(quoted(child_exe()) + arguments);
}

void await_end(platform::ProcessId id) {
  HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(id));
  if (process == nullptr) return;
  ::WaitForSingleObject(process, patience_ms);
  ::CloseHandle(process);
}

TEST(WindowsStart, StartsIdleWithTheStyleAndKeepsNoHandle) {
  ScratchFolder scratch;
  const std::string report = scratch / "report.txt";
  const DWORD before = open_handles();
  const platform::ProcessId id = services.start(child_reporting_to(report, 0, " one  two"),
                                                platform::WindowStyle::minimized_no_focus);
  ASSERT_NE(id, 0);
  EXPECT_EQ(open_handles(), before);
  ASSERT_TRUE(await_report(report));
  await_end(id);
  const Report seen = read_report(report);
  EXPECT_EQ(seen.at("command"), quoted(child_exe()) + " one  two");
  EXPECT_EQ(number(seen, "pid"), static_cast<std::uint64_t>(id));
  EXPECT_TRUE(number(seen, "flags") & STARTF_USESHOWWINDOW);
  EXPECT_EQ(number(seen, "show"), std::uint64_t{SW_SHOWMINNOACTIVE});
}

TEST(WindowsStart, FailsWithNoIdAndTheSystemsReason) {
  EXPECT_EQ(services.start(platform::CommandLine::from_text("Z:\\no\\such\\program.exe"),
                           platform::WindowStyle::normal_focus),
            0);
  const int missing = services.exit_status(0);
  EXPECT_TRUE(missing == ERROR_FILE_NOT_FOUND || missing == ERROR_PATH_NOT_FOUND) << missing;
  // A file that is no program fails for a reason of its own, which the empty
  // command's failure must then replace.
  ScratchFolder scratch;
  write_file(scratch / "not-a-program.exe", "text\r\n");
  EXPECT_EQ(services.start(platform::CommandLine::from_text(quoted(scratch / "not-a-program.exe")),
                           platform::WindowStyle::normal_focus),
            0);
  const int not_a_program = services.exit_status(0);
  EXPECT_NE(not_a_program, 0);
  EXPECT_EQ(
      services.start(platform::CommandLine::from_text(""), platform::WindowStyle::normal_focus), 0);
  EXPECT_NE(services.exit_status(0), 0);
  EXPECT_NE(services.exit_status(0), not_a_program);
}

TEST(WindowsStart, JoinsAnArgumentVectorSoItParsesBack) {
  ScratchFolder scratch;
  const std::string report = scratch / "report.txt";
  child_reporting_to(report, 0);
  const platform::ProcessId id = services.start(
      platform::CommandLine::from_words({child_exe(), "plain", "two words", "say \"hi\"", "end\\"}),
      platform::WindowStyle::normal_focus);
  ASSERT_NE(id, 0);
  ASSERT_TRUE(await_report(report));
  await_end(id);
  EXPECT_EQ(read_report(report).at("command"),
            child_exe() + " plain \"two words\" \"say \\\"hi\\\"\" end\\");
}

TEST(WindowsCreateProcess, RunsInTheFolderAndHandsBackBothHandles) {
  ScratchFolder scratch;
  const std::string report = scratch / "report.txt";
  const std::string folder = scratch.path().string();
  const DWORD before = open_handles();
  const platform::ProcessInformation created =
      services.create_process(child_reporting_to(report, 500), folder);
  ASSERT_NE(created.process, 0);
  ASSERT_NE(created.thread, 0);
  ASSERT_NE(created.id, 0);
  EXPECT_EQ(::GetPriorityClass(reinterpret_cast<HANDLE>(created.process)),
            DWORD{IDLE_PRIORITY_CLASS});
  services.set_idle_priority(created.process);
  services.close(created.process);
  services.close(created.thread);
  EXPECT_EQ(open_handles(), before);
  ASSERT_TRUE(await_report(report));
  await_end(created.id);
  const Report seen = read_report(report);
  EXPECT_EQ(seen.at("folder"), folder);
  EXPECT_EQ(number(seen, "priority"), std::uint64_t{IDLE_PRIORITY_CLASS});
  // Nothing was asked of the window: no show-window request.
  EXPECT_FALSE(number(seen, "flags") & STARTF_USESHOWWINDOW);
}

TEST(WindowsCreateProcess, FailureLeavesTheRecordEmpty) {
  ScratchFolder scratch;
  const platform::ProcessInformation created = services.create_process(
      platform::CommandLine::from_text(" -classpath . "), scratch.path().string());
  EXPECT_EQ(created.process, 0);
  EXPECT_EQ(created.thread, 0);
  EXPECT_EQ(created.id, 0);
  EXPECT_NE(services.exit_status(0), 0);
}

TEST(WindowsOpenForPriority, SetsARunningProcessIdle) {
  ScratchFolder scratch;
  const std::string report = scratch / "report.txt";
  child_reporting_to(report, 0);
  std::string command = quoted(child_exe());
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION created{};
  ASSERT_NE(::CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE,
                             CREATE_SUSPENDED | NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup,
                             &created),
            0);
  const platform::Handle handle = services.open_for_priority(static_cast<int>(created.dwProcessId));
  ASSERT_NE(handle, 0);
  services.set_idle_priority(handle);
  services.close(handle);
  EXPECT_EQ(::GetPriorityClass(created.hProcess), DWORD{IDLE_PRIORITY_CLASS});
  ::ResumeThread(created.hThread);
  ::WaitForSingleObject(created.hProcess, patience_ms);
  ::CloseHandle(created.hThread);
  ::CloseHandle(created.hProcess);
  EXPECT_EQ(services.open_for_priority(0), 0);
}

TEST(WindowsProbe, FindsALiveChildAndNotAnEndedOne) {
  ScratchFolder scratch;
  const std::string report = scratch / "report.txt";
  const platform::ProcessId id =
      services.start(child_reporting_to(report, 1000), platform::WindowStyle::normal_focus);
  ASSERT_NE(id, 0);
  const platform::Handle probe = services.open_to_probe(id);
  EXPECT_NE(probe, 0);
  services.close(probe);
  // Held past the child's end: the object stays, the probe still fails.
  HANDLE held = ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(id));
  ASSERT_NE(held, nullptr);
  ASSERT_EQ(::WaitForSingleObject(held, patience_ms), WAIT_OBJECT_0);
  EXPECT_EQ(services.open_to_probe(id), 0);
  ::CloseHandle(held);
  EXPECT_EQ(services.open_to_probe(0), 0);
}

// What the file itself says: a program of the GUI subsystem (no console
// window, ever), with its icon and its version information.
TEST(LullrunProgramFile, IsAWindowsProgramWithIconAndVersion) {
  const std::string program = lullrun_exe();
  const std::string image = read_file(program);
  ASSERT_GT(image.size(), 0x200u);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image.data());
  ASSERT_EQ(dos->e_magic, IMAGE_DOS_SIGNATURE);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(image.data() + dos->e_lfanew);
  ASSERT_EQ(nt->Signature, DWORD{IMAGE_NT_SIGNATURE});
  EXPECT_EQ(nt->OptionalHeader.Subsystem, WORD{IMAGE_SUBSYSTEM_WINDOWS_GUI});

  HMODULE resources = ::LoadLibraryExA(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(resources, nullptr);
  EXPECT_NE(::FindResourceA(resources, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(14)), nullptr)
      << "no icon";  // 14: RT_GROUP_ICON
  ::FreeLibrary(resources);

  DWORD ignored = 0;
  std::string version(::GetFileVersionInfoSizeA(program.c_str(), &ignored), '\0');
  ASSERT_FALSE(version.empty());
  ASSERT_NE(
      ::GetFileVersionInfoA(program.c_str(), 0, static_cast<DWORD>(version.size()), version.data()),
      0);
  const auto value = [&](const char* name) {
    char* text = nullptr;
    UINT length = 0;
    const std::string query = std::string("\\StringFileInfo\\040904B0\\") + name;
    return ::VerQueryValueA(version.data(), query.c_str(), reinterpret_cast<void**>(&text),
                            &length) != 0 &&
                   length > 0
               ? std::string(text)
               : std::string();
  };
  EXPECT_EQ(value("ProductName"), "lullrun");
  EXPECT_EQ(value("OriginalFilename"), "lullrun.exe");
  EXPECT_FALSE(value("FileDescription").empty());
  EXPECT_FALSE(value("FileVersion").empty());
}

// Without a desktop no window can be made; the wrapper must still watch.
TEST(LullrunWithoutDesktop, StillWatchesAndEndsWithItsChild) {
  const HWND probe_window =
      ::CreateWindowExA(0, "STATIC", "", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
  if (probe_window != nullptr) {
    ::DestroyWindow(probe_window);
    GTEST_SKIP() << "this session has a desktop";
  }
  ScratchFolder scratch;
  const std::string folder = scratch.path().string();
  const std::string program = install(lullrun_exe(), folder, "lullrun.exe");
  const std::string report = scratch / "report.txt";
  Launch run(quoted(program) + " " + child_exe(), folder, report, 5000);
  ASSERT_TRUE(run.wait());
  const Report seen = read_report(report);
  ASSERT_NE(number(seen, "ended"), 0u) << "the wrapper ended before its child";
  const double after_child_ms = ms_between(number(seen, "ended"), run.ended_at());
  EXPECT_GT(after_child_ms, 0.0);
  EXPECT_LT(after_child_ms, tick_ms + 2000.0);

  Launch failing(quoted(program) + " no-such-program-anywhere.exe", folder, report);
  ASSERT_TRUE(failing.wait());
  EXPECT_LT(failing.lifetime_ms(), tick_ms);
}

}  // namespace
}  // namespace lull::testing
