// Running the built Windows programs from the tests: where they are, how to
// start a wrapper with a raw command line, and what the test child reported.
// Windows code only.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "test_files.h"

namespace lull::testing {

// A wrapper that has not ended by then hangs.
constexpr DWORD patience_ms = 30000;
// The watch's interval.
constexpr std::uint64_t tick_ms = 4000;

// A path CMake gave at build time, as Windows reads it: under Wine, a path
// of the build machine lies on drive Z:.
inline std::string built_path(const char* path) {
  std::string windows = path;
  if (!windows.empty() && windows.front() == '/') windows = "Z:" + windows;
  for (char& c : windows) {
    if (c == '/') c = '\\';
  }
  return windows;
}

inline std::string lullrun_exe() { return built_path(LULL_LULLRUN_EXE); }
inline std::string child_exe() { return built_path(LULL_TEST_CHILD_EXE); }

inline std::string quoted(const std::string& text) { return "\"" + text + "\""; }

// The tests' paths and command lines are UTF-8; the wide functions take them.
inline std::wstring wide(const std::string& text) { return as_path(text).wstring(); }

// A copy of a built program in `folder`, under the name `file`.
inline std::string install(const std::string& program, const std::string& folder,
                           const std::string& file) {
  ::CreateDirectoryW(wide(folder).c_str(), nullptr);
  const std::string copy = folder + "\\" + file;
  EXPECT_NE(::CopyFileW(wide(program).c_str(), wide(copy).c_str(), FALSE), 0) << copy;
  return copy;
}

// A wrapper installed as `folder`\`name`.exe from the built `program`, its
// settings file beside it, and the file its child reports to.
struct InstalledWrapper {
  InstalledWrapper(const std::string& folder, const std::string& program, const std::string& name)
      : folder(folder),
        program(install(program, folder, name + ".exe")),
        settings(folder + "\\" + name + ".properties"),
        report(folder + "\\child-report.txt") {}
  std::string folder;
  std::string program;
  std::string settings;
  std::string report;
};

inline bool file_exists(const std::string& path) {
  return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Milliseconds between two system times given in 100 ns units.
inline double ms_between(std::uint64_t from, std::uint64_t to) {
  return (static_cast<double>(to) - static_cast<double>(from)) / 10000.0;
}

inline std::uint64_t as_number(const FILETIME& time) {
  return (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

// A process started with a raw command line and watched by the test. The
// test child it leads to reports to `report` and stays `child_stay_ms`. With
// `lullrun_debug` the test is its debugger, LULLRUN_DEBUG that value. With an
// `application` named apart, Wine too keeps the line as written.
class Launch {
 public:
  Launch(const std::string& command_line, const std::string& folder, const std::string& report,
         DWORD child_stay_ms = 0, const char* lullrun_debug = nullptr,
         const std::string& application = {}) {
    std::string environment = environment_with(report, child_stay_ms, lullrun_debug);
    std::wstring text = wide(command_line);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created{};
    if (::CreateProcessW(application.empty() ? nullptr : wide(application).c_str(), text.data(),
                         nullptr, nullptr, FALSE,
                         lullrun_debug != nullptr ? DEBUG_ONLY_THIS_PROCESS : 0, environment.data(),
                         folder.empty() ? nullptr : wide(folder).c_str(), &startup,
                         &created) != 0) {
      ::CloseHandle(created.hThread);
      process_ = created.hProcess;
      id_ = created.dwProcessId;
    }
  }
  ~Launch() {
    if (process_ == nullptr) return;
    if (::WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) ::TerminateProcess(process_, 99);
    ::CloseHandle(process_);
  }
  Launch(const Launch&) = delete;
  Launch& operator=(const Launch&) = delete;

  [[nodiscard]] bool started() const { return process_ != nullptr; }
  [[nodiscard]] DWORD id() const { return id_; }
  // True once the process has ended, waiting up to `ms` for it.
  bool wait(DWORD ms = patience_ms) {
    return process_ != nullptr && ::WaitForSingleObject(process_, ms) == WAIT_OBJECT_0;
  }
  [[nodiscard]] DWORD exit_code() const {
    DWORD code = STILL_ACTIVE;
    ::GetExitCodeProcess(process_, &code);
    return code;
  }
  // The system's record of when the process started and ended.
  [[nodiscard]] std::uint64_t created_at() const { return times().first; }
  [[nodiscard]] std::uint64_t ended_at() const { return times().second; }
  [[nodiscard]] double lifetime_ms() const { return ms_between(created_at(), ended_at()); }

  // The lines the debugged process sent its debugger until it ended.
  std::string debug_output() {
    std::string lines;
    for (DEBUG_EVENT event{}; ::WaitForDebugEvent(&event, patience_ms);) {
      if (event.dwDebugEventCode == OUTPUT_DEBUG_STRING_EVENT) {
        std::string line(event.u.DebugString.nDebugStringLength, '\0');
        ::ReadProcessMemory(process_, event.u.DebugString.lpDebugStringData, line.data(),
                            line.size(), nullptr);
        lines += line.c_str();
      }
      if (event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT)
        ::CloseHandle(event.u.CreateProcessInfo.hFile);
      if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT) ::CloseHandle(event.u.LoadDll.hFile);
      // Exceptions are the program's to handle; the first breakpoint is ours.
      const bool exception =
          event.dwDebugEventCode == EXCEPTION_DEBUG_EVENT &&
          event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT;
      ::ContinueDebugEvent(event.dwProcessId, event.dwThreadId,
                           exception ? DBG_EXCEPTION_NOT_HANDLED : DBG_CONTINUE);
      if (event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT) break;
    }
    return lines;
  }

 private:
  [[nodiscard]] std::pair<std::uint64_t, std::uint64_t> times() const {
    FILETIME created{}, ended{}, kernel{}, user{};
    ::GetProcessTimes(process_, &created, &ended, &kernel, &user);
    return {as_number(created), as_number(ended)};
  }

  // This process's environment, with the test child's two settings.
  static std::string environment_with(const std::string& report, DWORD child_stay_ms,
                                      const char* lullrun_debug) {
    std::string block;
    char* strings = ::GetEnvironmentStringsA();
    for (const char* entry = strings; entry != nullptr && *entry != '\0';
         entry += std::char_traits<char>::length(entry) + 1) {
      if (std::string(entry).rfind("LULL", 0) != 0) block.append(entry).push_back('\0');
    }
    ::FreeEnvironmentStringsA(strings);
    if (lullrun_debug != nullptr)
      block.append("LULLRUN_DEBUG=").append(lullrun_debug).push_back('\0');
    block.append("LULL_CHILD_REPORT=" + report).push_back('\0');
    block.append("LULL_CHILD_STAY_MS=" + std::to_string(child_stay_ms)).push_back('\0');
    block.push_back('\0');
    return block;
  }

  HANDLE process_ = nullptr;
  DWORD id_ = 0;
};

// Runs `wrapper` in its folder, where nothing can start: it ends at once,
// before any tick, with an error status and no child, and leaves its
// settings file as `settings`. Its exit status.
inline DWORD expect_no_start(const InstalledWrapper& wrapper, const std::string& settings,
                             const std::string& arguments = {}) {
  Launch run(quoted(wrapper.program) + arguments, wrapper.folder, wrapper.report);
  EXPECT_TRUE(run.wait());
  EXPECT_EQ(read_file(wrapper.settings), settings);
  EXPECT_FALSE(file_exists(wrapper.report));
  EXPECT_NE(run.exit_code(), 0u);
  EXPECT_LT(run.lifetime_ms(), tick_ms);
  return run.exit_code();
}

// What the test child saw, by name: priority, flags, show, folder, command,
// pid, in_job (whether it is in a job object) and, once it has ended, ended. Empty when it never
// reported.
using Report = std::map<std::string, std::string>;

inline Report read_report(const std::string& path) {
  Report report;
  const std::string text = read_file(path);
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(begin, end - begin);
    const std::size_t equals = line.find('=');
    if (equals != std::string::npos) report[line.substr(0, equals)] = line.substr(equals + 1);
    begin = end + 1;
  }
  return report;
}

inline std::uint64_t number(const Report& report, const std::string& name) {
  const auto found = report.find(name);
  return found == report.end() ? 0 : std::stoull(found->second);
}

// Waits, up to `ms`, for the test child's report to appear.
inline bool await_report(const std::string& path, DWORD ms = patience_ms) {
  for (DWORD waited = 0; waited < ms; waited += 50) {
    if (file_exists(path)) return true;
    ::Sleep(50);
  }
  return file_exists(path);
}

// UTF-8 text as UTF-16 bytes, little- or big-endian.
inline std::string utf16(const std::string& text, bool big_endian) {
  std::string bytes;
  for (const wchar_t unit : wide(text)) {
    const char low = static_cast<char>(unit & 0xFF), high = static_cast<char>(unit >> 8);
    bytes += big_endian ? std::string{high, low} : std::string{low, high};
  }
  return bytes;
}

// Copies of a wrapper named and placed beyond the ANSI code page, as one table: a first run leaves
// `template_text`; UTF-8 settings (with and without the byte-order mark), ANSI ones (1252, Wine's
// for English and C), UTF-16 ones and a pass-through argument bring their characters to the child
// intact, also a Java-mode copy started by its unquoted path. The test is each copy's debugger:
// with LULLRUN_DEBUG set it hears of the suspended start, the memory priority and Efficiency mode
// (Wine 8 refuses both: error 1), the idle class, the DSCP tag (Wine 8 refuses it: error 87), the
// resumption and the idle class again; set but empty, nothing.
inline void check_beyond_ansi(const std::string& program, const std::string& template_text,
                              bool java_in_program_folder) {
  const std::string exe = "Java_Executable_Path=" + child_exe() + "\r\n",
                    keys = "Class_to_run=Main\r\nJava_run_minimized_no_focus=\r\nArgs_if_any=",
                    job = exe + "Class_path_to_use=\r\n" + keys;
  const std::string java = child_exe() + " -classpath . Main ", both = "Zoë 作業";
  const std::string pass = " " + child_exe() + " " + quoted(both);
  struct Case {  // settings (none when empty), arguments (none: Java mode), the child's command,
    std::string settings, arguments, command, debug, appended{};  // LULLRUN_DEBUG, what is added
    bool unquoted = false;  // the program's path as a Run key may give it, blanks and all
  };
  const std::vector<Case> cases = {
      {"", "", "", "1"},
      {job + both + "\r\n", "", java + both, "1"},
      {"\xEF\xBB\xBF" + job + both + "\r\n", "", java + both, "1"},
      {job + "Zo\xEB\r\n", "", java + "Zoë", "1"},
      {"", pass, pass.substr(1), "1"},
      {"", pass, pass.substr(1), ""},
      {"\xFF\xFE" + utf16(exe + keys + both + "\r\n", false), "", java + both, "1",
       utf16("Class_path_to_use=\r\n", false)},
      {"\xFE\xFF" + utf16(exe + keys + both + "\r\n", true), "", java + both, "1",
       utf16("Class_path_to_use=\r\n", true)},
      {"\xEF\xBB\xBF" + job + "Zo\xEB " + both + "\r\n", "", java + "Zo\uFFFD " + both, "1"},
      {"", pass, pass.substr(1), "1", "", true},
      {job + both + "\r\n", "", java + both, "1", "", true}};
  ScratchFolder scratch;
  const std::string started_in = scratch.path().string(), folder = started_in + "\\作業 Zoë";
  int number = 0;
  for (const auto& [settings, arguments, command, debug, appended, unquoted] : cases) {
    InstalledWrapper wrapper(folder, program, "夜間 " + std::to_string(++number));
    SCOPED_TRACE(wrapper.program + arguments);
    wrapper.report = scratch / ("report" + std::to_string(number));
    if (!settings.empty()) write_file(wrapper.settings, settings);
    Launch run((unquoted ? wrapper.program : "\"" + wrapper.program + "\"") + arguments, started_in,
               wrapper.report, 0, debug.c_str(), wrapper.program);
    const std::string lines = run.debug_output(), id = "\\[" + std::to_string(run.id()) + "\\]: ";
    ASSERT_TRUE(run.wait());
    Report seen = read_report(wrapper.report);
    EXPECT_EQ(seen["command"], command);
    const bool java = arguments.empty(), in_program_folder = java && java_in_program_folder;
    EXPECT_EQ(seen["folder"], command.empty() ? "" : in_program_folder ? folder : started_in);
    if (java) {
      EXPECT_EQ(read_file(wrapper.settings), command.empty() ? template_text : settings + appended);
    }
    const auto line = [&](const std::string& said) { return ".*" + id + said + "\n"; };
    const std::regex told(line("started process \\d+ suspended in .*") +
                          line("memory priority very low: (done|error \\d+)") +
                          line("efficiency mode: (done|error \\d+)") + line("idle class: done") +
                          line("network: DSCP 8 on the job's traffic: (done|error \\d+)") + "(" +
                          line("network: the child in the job: (done|error \\d+)") + ")?" +
                          line("resumed: done") + line("idle class: done"));
    EXPECT_EQ(std::regex_search(lines, told), !command.empty() && !debug.empty()) << lines;
    EXPECT_EQ(lines.empty(), debug.empty());
  }
}

}  // namespace lull::testing
