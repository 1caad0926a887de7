// The Windows process services against real processes, and lullrun.exe where
// there is no desktop to put a window on. Windows code only.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <regex>
#include <string>

#include "import_hook.h"
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

// A thread that ends at once: it takes a process or thread id and gives it
// back.
DWORD WINAPI do_nothing(void* /*unused*/) { return 0; }

DWORD take_an_id() {
  DWORD id = 0;
  HANDLE thread = ::CreateThread(nullptr, 0, do_nothing, nullptr, 0, &id);
  if (thread == nullptr) return 0;
  ::WaitForSingleObject(thread, INFINITE);
  ::CloseHandle(thread);
  return id;
}

// A suspended process with the id `wanted`, which an ended process had; null
// when the id did not come round within 30 s. Wine hands out the ids given
// back in turn, once 256 are waiting: threads take ids round until the one
// handed out before `wanted` last time round comes up again, and then the
// process is created.
HANDLE process_with_id(DWORD wanted) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  DWORD previous = 0, before_wanted = 0;
  while (std::chrono::steady_clock::now() < give_up) {
    const DWORD id = take_an_id();
    if (id == wanted) before_wanted = previous;
    previous = id;
    if (id == 0 || id != before_wanted) continue;
    std::string command = quoted(child_exe());
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created{};
    if (::CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                         nullptr, nullptr, &startup, &created) == 0)
      return nullptr;
    ::CloseHandle(created.hThread);
    if (created.dwProcessId == wanted) return created.hProcess;
    ::TerminateProcess(created.hProcess, 0);
    ::WaitForSingleObject(created.hProcess, INFINITE);
    ::CloseHandle(created.hProcess);
  }
  return nullptr;
}

// Once the child has ended, another process may get its id: the watch must
// not wait for that one.
TEST(WindowsProbe, AnotherProcessWithTheEndedChildsIdIsNotTheChild) {
  ScratchFolder scratch;
  const platform::ProcessId id = services.start(child_reporting_to(scratch / "report.txt", 0),
                                                platform::WindowStyle::normal_focus);
  ASSERT_NE(id, 0);
  await_end(id);
  HANDLE impostor = process_with_id(static_cast<DWORD>(id));
  ASSERT_NE(impostor, nullptr) << "no process got the id " << id;
  EXPECT_EQ(services.open_to_probe(id), 0);
  EXPECT_EQ(services.exit_status(id), 0);
  ::TerminateProcess(impostor, 0);
  ::CloseHandle(impostor);
}

// The lines the process services write through OutputDebugStringA while a
// test listens. File-level: the system's functions are plain functions.
std::string heard;
void WINAPI hear(const char* line) { heard += line; }

// LULLRUN_DEBUG on, and the lines heard, for one test.
struct Listening {
  Listening() {
    heard.clear();
    ::SetEnvironmentVariableA("LULLRUN_DEBUG", "1");
  }
  ~Listening() { ::SetEnvironmentVariableA("LULLRUN_DEBUG", nullptr); }
  ImportHook hook{"kernel32.dll", "OutputDebugStringA", reinterpret_cast<const void*>(&hear)};
};

// Starts the test child through the services and waits for its report.
Report start_and_report(const ScratchFolder& scratch) {
  const std::string report = scratch / "report.txt";
  const platform::ProcessId id =
      services.start(child_reporting_to(report, 0), platform::WindowStyle::normal_focus);
  EXPECT_NE(id, 0);
  EXPECT_TRUE(await_report(report));
  await_end(id);
  return read_report(report);
}

// The system's own function `name`, from kernel32's exports: a hook that
// called it by name would go through the import table, to itself.
template <typename Function>
Function kernel32_function(const char* name) {
  return reinterpret_cast<Function>(
      reinterpret_cast<void (*)()>(::GetProcAddress(::GetModuleHandleA("kernel32.dll"), name)));
}
const auto system_get_proc_address =
    kernel32_function<decltype(&::GetProcAddress)>("GetProcAddress");
const auto system_set_information_job_object =
    kernel32_function<decltype(&::SetInformationJobObject)>("SetInformationJobObject");

// Windows 7 has no SetProcessInformation: the child still starts, idle.
FARPROC WINAPI without_set_process_information(HMODULE module, const char* name) {
  if (reinterpret_cast<ULONG_PTR>(name) > 0xFFFF && std::string(name) == "SetProcessInformation")
    return nullptr;
  return system_get_proc_address(module, name);
}

TEST(WindowsLowering, WithoutSetProcessInformationTheChildStillStartsIdle) {
  ScratchFolder scratch;
  Listening listening;
  const ImportHook missing("kernel32.dll", "GetProcAddress",
                           reinterpret_cast<const void*>(&without_set_process_information));
  ASSERT_TRUE(missing.in_place() && listening.hook.in_place());
  const Report seen = start_and_report(scratch);
  EXPECT_EQ(number(seen, "priority"), std::uint64_t{IDLE_PRIORITY_CLASS});
  EXPECT_NE(heard.find("memory priority, efficiency mode: SetProcessInformation is missing\n"),
            std::string::npos)
      << heard;
  EXPECT_EQ(heard.find("efficiency mode: done"), std::string::npos) << heard;
}

// A system that has the job's network class (Windows 10 1607 and later),
// where Wine has not: what it was asked to set, and how often.
struct NetworkClassAsked {
  int times = 0;
  DWORD size = 0;
  DWORD flags = 0;
  BYTE dscp = 0;
} asked;

BOOL WINAPI with_network_class(HANDLE job, JOBOBJECTINFOCLASS kind, void* record, DWORD size) {
  if (kind != static_cast<JOBOBJECTINFOCLASS>(32))
    return system_set_information_job_object(job, kind, record, size);
  const auto* bytes = static_cast<const BYTE*>(record);
  asked = {asked.times + 1, size, *reinterpret_cast<const DWORD*>(bytes + 8), bytes[12]};
  return TRUE;
}

// Where the system takes the tag, the child and whatever it starts run in a
// job whose traffic is marked CS1; where it refuses (Wine 8, as Windows
// before 10 1607: error 87), the child is in no job; LULLRUN_NETWORK=0 asks
// nothing.
TEST(WindowsNetwork, TheChildsTrafficIsTaggedCs1WhereTheSystemCan) {
  ScratchFolder scratch;
  Listening listening;
  Report refused = start_and_report(scratch);
  EXPECT_EQ(refused["in_job"], "0");
  EXPECT_TRUE(std::regex_search(
      heard, std::regex("network: DSCP 8 on the job's traffic: error \\d+\n[^\n]*resumed")))
      << heard;
  {
    heard.clear();
    asked = {};
    const ImportHook system_has_it("kernel32.dll", "SetInformationJobObject",
                                   reinterpret_cast<const void*>(&with_network_class));
    Report tagged = start_and_report(scratch);
    EXPECT_EQ(tagged["in_job"], "1");
    EXPECT_EQ(asked.times, 1);
    EXPECT_EQ(asked.size, 16u);
    EXPECT_EQ(asked.flags, 0x5u);  // the control on, and the DSCP tag
    EXPECT_EQ(asked.dscp, 8);
    EXPECT_NE(heard.find("network: the child in the job: done"), std::string::npos) << heard;

    heard.clear();
    asked = {};
    ::SetEnvironmentVariableA("LULLRUN_NETWORK", "0");
    Report left = start_and_report(scratch);
    ::SetEnvironmentVariableA("LULLRUN_NETWORK", nullptr);
    EXPECT_EQ(left["in_job"], "0");
    EXPECT_EQ(asked.times, 0);
    EXPECT_NE(heard.find("network: left as it is (LULLRUN_NETWORK=0)"), std::string::npos) << heard;
  }
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
