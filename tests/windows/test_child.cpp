// A child program for the Windows tests, itself a Windows program: writes
// what it sees to the file that LULL_CHILD_REPORT names, stays as many
// milliseconds as LULL_CHILD_STAY_MS says, and notes the moment it ends.
// Windows code only.
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

std::string variable(const char* name) {
  char value[4096];
  const DWORD length = ::GetEnvironmentVariableA(name, value, sizeof value);
  return length > 0 && length < sizeof value ? std::string(value, length) : std::string();
}

// The system's UTF-16 as UTF-8: an ANSI form would hide a lost character as "?".
std::string utf8(const wchar_t* wide) {
  const std::u8string text = std::filesystem::path(wide).u8string();
  return {text.begin(), text.end()};
}

std::string current_folder() {
  wchar_t folder[4096] = {};
  return ::GetCurrentDirectoryW(4096, folder) < 4096 ? utf8(folder) : std::string();
}

std::uint64_t now() {
  FILETIME time{};
  ::GetSystemTimeAsFileTime(&time);
  return (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

bool write(const std::string& path, const std::string& text, DWORD disposition, DWORD access) {
  HANDLE file = ::CreateFileA(path.c_str(), access, FILE_SHARE_READ, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL wrote =
      ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  ::CloseHandle(file);
  return wrote != 0 && written == text.size();
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  const std::string report = variable("LULL_CHILD_REPORT");
  if (report.empty()) return 3;
  const DWORD stay_ms =
      static_cast<DWORD>(std::strtoul(variable("LULL_CHILD_STAY_MS").c_str(), nullptr, 10));

  // A child created at normal priority is set idle by its starter a moment
  // later: give it that moment, but no more than two seconds.
  for (int wait = 0; wait < 100 && ::GetPriorityClass(::GetCurrentProcess()) != IDLE_PRIORITY_CLASS;
       ++wait)
    ::Sleep(20);

  STARTUPINFOA startup{};
  ::GetStartupInfoA(&startup);
  std::string seen;
  seen += "priority=" + std::to_string(::GetPriorityClass(::GetCurrentProcess())) + "\n";
  seen += "flags=" + std::to_string(startup.dwFlags) + "\n";
  seen += "show=" + std::to_string(startup.wShowWindow) + "\n";
  seen += "folder=" + current_folder() + "\n";
  seen += "command=" + utf8(::GetCommandLineW()) + "\n";
  seen += "pid=" + std::to_string(::GetCurrentProcessId()) + "\n";
  BOOL in_job = FALSE;
  ::IsProcessInJob(::GetCurrentProcess(), nullptr, &in_job);
  seen += "in_job=" + std::to_string(in_job) + "\n";
  // Written aside and moved in place, so a reader never sees half a report.
  const std::string aside = report + ".part";
  if (!write(aside, seen, CREATE_ALWAYS, GENERIC_WRITE) ||
      ::MoveFileExA(aside.c_str(), report.c_str(), MOVEFILE_REPLACE_EXISTING) == 0)
    return 4;

  ::Sleep(stay_ms);
  write(report, "ended=" + std::to_string(now()) + "\n", OPEN_EXISTING, FILE_APPEND_DATA);
  return 0;
}
