// Process services for Windows. Windows code only.
// CreateProcessW, OpenProcess, SetPriorityClass, SetProcessInformation and
// CloseHandle (kernel32). Command lines and folders are UTF-8 inside the
// programs and go to the system as UTF-16, so that no character is lost.
#include "platform/process.h"

#include <windows.h>

#include <string>

#include "platform/diagnostics.h"
#include "platform/windows/text.h"

namespace lull::platform {
namespace {

// The access rights each open asks for, and nothing more.
constexpr DWORD access_for_priority =
    PROCESS_SET_INFORMATION;                           // 0x0200, what SetPriorityClass needs
constexpr DWORD access_to_probe = PROCESS_DUP_HANDLE;  // 0x40
constexpr BOOL inherit_handle = TRUE;

HANDLE native(Handle handle) { return reinterpret_cast<HANDLE>(handle); }
Handle portable(HANDLE handle) { return reinterpret_cast<Handle>(handle); }

// An argument vector joined into one command line that the usual parsing
// (CommandLineToArgvW, the C runtime) divides back into the same words.
std::string quoted_word(const std::string& word) {
  if (!word.empty() && word.find_first_of(" \t\n\v\"") == std::string::npos) return word;
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (const char c : word) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    // Backslashes double only in front of a quote, which is escaped itself.
    quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    quoted.push_back(c);
  }
  quoted.append(backslashes * 2, '\\');
  quoted.push_back('"');
  return quoted;
}

std::string command_text(const CommandLine& command) {
  if (!command.is_words) return command.text;
  std::string text;
  for (const std::string& word : command.words) {
    if (!text.empty()) text.push_back(' ');
    text.append(quoted_word(word));
  }
  return text;
}

// The system's error code of a start that failed; the wrapper ends with it
// when no child could be started.
DWORD start_failure() {
  const DWORD error = ::GetLastError();
  return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
}

// One diagnostic line for a step that the system did or refused.
void report(const char* step, BOOL done) {
  if (done != 0) {
    diagnose("%s: done", step);
  } else {
    diagnose("%s: error %lu", step, ::GetLastError());
  }
}

// When memory runs short, the child's pages leave it before the user's.
// SetProcessInformation came with Windows 8: it is looked up, not imported,
// so the programs import nothing newer and still start where it is missing.
// Through the creation's own handle, which has every right it needs.
void set_memory_priority_very_low(HANDLE process) {
  using SetProcessInformation = BOOL(WINAPI*)(HANDLE, PROCESS_INFORMATION_CLASS, LPVOID, DWORD);
  const FARPROC found =
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "SetProcessInformation");
  if (found == nullptr) {
    diagnose("memory priority very low: SetProcessInformation is missing");
    return;
  }
  // GetProcAddress gives every function one type; this is its real one.
  const auto set = reinterpret_cast<SetProcessInformation>(reinterpret_cast<void (*)()>(found));
  MEMORY_PRIORITY_INFORMATION very_low{.MemoryPriority = MEMORY_PRIORITY_VERY_LOW};
  report("memory priority very low",
         set(process, ProcessMemoryPriority, &very_low, sizeof very_low));
}

// CreateProcessW may write into the command line it is given, so it gets a
// copy of its own; `folder` empty keeps the wrapper's current folder. The
// child's memory priority is set as soon as it exists.
bool create(const CommandLine& command, BOOL inherit_handles, DWORD flags,
            const std::string& folder, STARTUPINFOW& startup, PROCESS_INFORMATION& created,
            DWORD& failure) {
  const std::string text = command_text(command);
  std::wstring wide_text = utf16(text);
  const std::wstring wide_folder = utf16(folder);
  if (::CreateProcessW(nullptr, wide_text.data(), nullptr, nullptr, inherit_handles, flags, nullptr,
                       folder.empty() ? nullptr : wide_folder.c_str(), &startup, &created) != 0) {
    diagnose("started process %lu in %s: %s", created.dwProcessId,
             folder.empty() ? "the current folder" : folder.c_str(), text.c_str());
    set_memory_priority_very_low(created.hProcess);
    return true;
  }
  failure = start_failure();
  diagnose("start failed, error %lu: %s", failure, text.c_str());
  created = {};
  return false;
}

// Nothing goes on for the child here once it runs: the idle class and the
// memory priority are set at the start, and the system keeps them.
class NothingToFollow final : public FollowUp {
 public:
  [[nodiscard]] std::chrono::steady_clock::time_point due() const override {
    return std::chrono::steady_clock::time_point::max();
  }
  void run() override {}
};

}  // namespace

struct ProcessServices::State {
  DWORD last_start_failure = 0;
  NothingToFollow nothing;
};

ProcessServices::ProcessServices() : state_(std::make_unique<State>()) {}
ProcessServices::~ProcessServices() = default;

ProcessId ProcessServices::start(const CommandLine& command, WindowStyle style) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow =
      style == WindowStyle::minimized_no_focus ? SW_SHOWMINNOACTIVE : SW_SHOWNORMAL;
  // Created in the idle class already, so not one instruction of the child,
  // and no process it starts at once, runs above idle; the start-up sequence
  // still sets the class afterwards, as for any child.
  PROCESS_INFORMATION created{};
  if (!create(command, FALSE, IDLE_PRIORITY_CLASS, {}, startup, created,
              state_->last_start_failure))
    return 0;
  ::CloseHandle(created.hThread);
  ::CloseHandle(created.hProcess);
  return static_cast<ProcessId>(created.dwProcessId);
}

ProcessInformation ProcessServices::create_process(const CommandLine& command,
                                                   const std::string& folder) {
  // A drive's root reads "D:" as a folder; as a current folder that would
  // mean the drive's current folder, so it gets its backslash back.
  std::string current = folder;
  if (!current.empty() && current.back() == ':') current.push_back('\\');
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION created{};
  if (!create(command, TRUE, NORMAL_PRIORITY_CLASS, current, startup, created,
              state_->last_start_failure))
    return {};
  return {.process = portable(created.hProcess),
          .thread = portable(created.hThread),
          .id = static_cast<ProcessId>(created.dwProcessId)};
}

Handle ProcessServices::open_for_priority(ProcessId id) {
  return portable(::OpenProcess(access_for_priority, inherit_handle, static_cast<DWORD>(id)));
}

Handle ProcessServices::open_to_probe(ProcessId id) {
  HANDLE probe = ::OpenProcess(access_to_probe, inherit_handle, static_cast<DWORD>(id));
  if (probe == nullptr) return 0;
  // An ended process can still be opened while anyone anywhere holds a
  // handle to it (a debugger, a virus scanner, a process viewer), which would
  // keep the wrapper alive for good. A process that can be asked and has
  // ended counts as gone.
  HANDLE query = ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(id));
  const bool ended = query != nullptr && ::WaitForSingleObject(query, 0) == WAIT_OBJECT_0;
  if (query != nullptr) ::CloseHandle(query);
  if (!ended) return portable(probe);
  ::CloseHandle(probe);
  return 0;
}

void ProcessServices::set_idle_priority(Handle process) {
  report("idle class", ::SetPriorityClass(native(process), IDLE_PRIORITY_CLASS));
}

void ProcessServices::close(Handle handle) {
  if (handle != 0) ::CloseHandle(native(handle));
}

// Windows tells a process's exit code only through a handle to it, and the
// wrapper holds none between probes: after a child it ends with 0.
int ProcessServices::exit_status(ProcessId id) const {
  return id == 0 ? static_cast<int>(state_->last_start_failure) : 0;
}

// Windows has no signals: the exit status says all there is.
void ProcessServices::end_as_child_did(ProcessId /*id*/) const {}

FollowUp& ProcessServices::follow_up() { return state_->nothing; }

}  // namespace lull::platform
