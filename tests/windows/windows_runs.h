// Running the built Windows programs from the tests: where they are, how to
// start a wrapper with a raw command line, and what the test child reported.
// Windows code only.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
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

// A copy of a built program in `folder`, under the name `file`.
inline std::string install(const std::string& program, const std::string& folder,
                           const std::string& file) {
  ::CreateDirectoryA(folder.c_str(), nullptr);
  const std::string copy = folder + "\\" + file;
  EXPECT_NE(::CopyFileA(program.c_str(), copy.c_str(), FALSE), 0) << copy;
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
// test child it leads to reports to `report` and stays `child_stay_ms`.
class Launch {
 public:
  Launch(const std::string& command_line, const std::string& folder, const std::string& report,
         DWORD child_stay_ms = 0) {
    std::string environment = environment_with(report, child_stay_ms);
    std::string text = command_line;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created{};
    if (::CreateProcessA(nullptr, text.data(), nullptr, nullptr, FALSE, 0, environment.data(),
                         folder.empty() ? nullptr : folder.c_str(), &startup, &created) != 0) {
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

 private:
  [[nodiscard]] std::pair<std::uint64_t, std::uint64_t> times() const {
    FILETIME created{}, ended{}, kernel{}, user{};
    ::GetProcessTimes(process_, &created, &ended, &kernel, &user);
    return {as_number(created), as_number(ended)};
  }

  // This process's environment, with the test child's two settings.
  static std::string environment_with(const std::string& report, DWORD child_stay_ms) {
    std::string block;
    char* strings = ::GetEnvironmentStringsA();
    for (const char* entry = strings; entry != nullptr && *entry != '\0';
         entry += std::char_traits<char>::length(entry) + 1) {
      if (std::string(entry).rfind("LULL_CHILD_", 0) != 0) block.append(entry).push_back('\0');
    }
    ::FreeEnvironmentStringsA(strings);
    block.append("LULL_CHILD_REPORT=" + report).push_back('\0');
    block.append("LULL_CHILD_STAY_MS=" + std::to_string(child_stay_ms)).push_back('\0');
    block.push_back('\0');
    return block;
  }

  HANDLE process_ = nullptr;
  DWORD id_ = 0;
};

// What the test child saw, by name: priority, flags, show, folder, command,
// pid and, once it has ended, ended. Empty when it never reported.
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

}  // namespace lull::testing
