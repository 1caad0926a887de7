// Process services for Windows. Windows code only.
// CreateProcessW, ResumeThread, OpenProcess, GetProcessTimes,
// SetPriorityClass, SetProcessInformation, the job object functions and
// CloseHandle (kernel32). Command lines and folders are
// UTF-8 inside the programs and go to the system as UTF-16, so that no character is lost.
#include "platform/process.h"

#include <windows.h>

#include <cstdint>
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

// SetProcessInformation came with Windows 8: it is looked up, not imported,
// so the programs import nothing newer and still start where it is missing.
using SetProcessInformationFunction = BOOL(WINAPI*)(HANDLE, PROCESS_INFORMATION_CLASS, LPVOID,
                                                    DWORD);
SetProcessInformationFunction set_process_information() {
  const FARPROC found =
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "SetProcessInformation");
  // GetProcAddress gives every function one type; this is its real one.
  return reinterpret_cast<SetProcessInformationFunction>(reinterpret_cast<void (*)()>(found));
}

// What is set on the child while it is suspended, through the creation's own
// handle, which has every right needed. When memory runs short, its pages
// leave memory before the user's. Efficiency mode (execution-speed
// throttling, Windows 10 1709 on; EcoQoS on Windows 11) runs it on the
// efficient cores at a low clock, so background work neither spins up the
// fans nor drains the battery.
void lower_before_first_instruction(HANDLE process) {
  const SetProcessInformationFunction set = set_process_information();
  if (set == nullptr) {
    diagnose("memory priority, efficiency mode: SetProcessInformation is missing");
  } else {
    MEMORY_PRIORITY_INFORMATION very_low{.MemoryPriority = MEMORY_PRIORITY_VERY_LOW};
    report("memory priority very low",
           set(process, ProcessMemoryPriority, &very_low, sizeof very_low));
    PROCESS_POWER_THROTTLING_STATE efficiency{
        .Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION,
        .ControlMask = PROCESS_POWER_THROTTLING_EXECUTION_SPEED,
        .StateMask = PROCESS_POWER_THROTTLING_EXECUTION_SPEED};
    report("efficiency mode", set(process, ProcessPowerThrottling, &efficiency, sizeof efficiency));
  }
  report("idle class", ::SetPriorityClass(process, IDLE_PRIORITY_CLASS));
}

// The job object's network class and its record (Windows 10 1607 and
// later), which the toolchain's headers do not have yet.
constexpr auto job_network_class = static_cast<JOBOBJECTINFOCLASS>(32);
struct JobNetworkControl {  // JOBOBJECT_NET_RATE_CONTROL_INFORMATION
  DWORD64 max_bandwidth;
  DWORD control_flags;
  BYTE dscp_tag;
};
constexpr DWORD network_control_on = 0x1;  // JOB_OBJECT_NET_RATE_CONTROL_ENABLE
constexpr DWORD network_dscp_tag = 0x4;    // JOB_OBJECT_NET_RATE_CONTROL_DSCP_TAG
// CS1, the class of traffic that gives way, as on Linux: a home router's
// diffserv queue and Wi-Fi's background access category send it after
// everything else.
constexpr BYTE background_dscp = 8;

// LULLRUN_NETWORK=0 leaves the child's traffic as it is.
bool network_wanted() {
  wchar_t value[3];
  return ::GetEnvironmentVariableW(L"LULLRUN_NETWORK", value, 3) != 1 || value[0] != L'0';
}

// Tags every packet the child and its descendants send with DSCP CS1, in a
// job object of their own. Whether the system has the job's network class
// shows only by asking: where it refuses, the child is put in no job, as a
// job would change nothing else for it. A descendant that asks to leave the
// job may; the job ends with its last process, not with the wrapper.
void tag_network_traffic(HANDLE process) {
  if (!network_wanted()) {
    diagnose("network: left as it is (LULLRUN_NETWORK=0)");
    return;
  }
  HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
  if (job == nullptr) {
    report("network: job object", FALSE);
    return;
  }
  JobNetworkControl tag{.max_bandwidth = 0,
                        .control_flags = network_control_on | network_dscp_tag,
                        .dscp_tag = background_dscp};
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_BREAKAWAY_OK;
  const BOOL tagged =
      ::SetInformationJobObject(job, job_network_class, &tag, sizeof tag) != 0 &&
      ::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  report("network: DSCP 8 on the job's traffic", tagged);
  if (tagged != 0)
    report("network: the child in the job", ::AssignProcessToJobObject(job, process));
  ::CloseHandle(job);
}

// When a process was created, in the system's 100 ns units; 0 when it cannot
// be told.
std::uint64_t creation_time(HANDLE process) {
  FILETIME created{};
  FILETIME unused[3]{};  // when it ended, its time in the kernel and in user mode
  if (::GetProcessTimes(process, &created, &unused[0], &unused[1], &unused[2]) == 0) return 0;
  return (std::uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime;
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
  // The last child started, and when: its id is its own only until it ends.
  DWORD child_id = 0;
  std::uint64_t child_created = 0;
  NothingToFollow nothing;

  bool create(const CommandLine& command, BOOL inherit_handles, DWORD flags,
              const std::string& folder, STARTUPINFOW& startup, PROCESS_INFORMATION& created);
  [[nodiscard]] HANDLE probe(DWORD id) const;
};

// CreateProcessW may write into the command line it is given, so it gets a
// copy of its own; `folder` empty keeps the wrapper's current folder. The
// child is created suspended and lowered before its first instruction, so
// that neither its own start-up nor a process it starts at once runs above
// it; then it is let run.
bool ProcessServices::State::create(const CommandLine& command, BOOL inherit_handles, DWORD flags,
                                    const std::string& folder, STARTUPINFOW& startup,
                                    PROCESS_INFORMATION& created) {
  const std::string text = command_text(command);
  std::wstring wide_text = utf16(text);
  const std::wstring wide_folder = utf16(folder);
  if (::CreateProcessW(nullptr, wide_text.data(), nullptr, nullptr, inherit_handles,
                       flags | CREATE_SUSPENDED, nullptr,
                       folder.empty() ? nullptr : wide_folder.c_str(), &startup, &created) == 0) {
    last_start_failure = start_failure();
    diagnose("start failed, error %lu: %s", last_start_failure, text.c_str());
    created = {};
    return false;
  }
  diagnose("started process %lu suspended in %s: %s", created.dwProcessId,
           folder.empty() ? "the current folder" : folder.c_str(), text.c_str());
  lower_before_first_instruction(created.hProcess);
  tag_network_traffic(created.hProcess);
  child_id = created.dwProcessId;
  child_created = creation_time(created.hProcess);
  // What the thread's suspend count was: 1, as it was created suspended.
  const DWORD suspended = ::ResumeThread(created.hThread);
  if (suspended != static_cast<DWORD>(-1)) {
    diagnose("resumed: %s", suspended == 1 ? "done" : "it was not suspended");
    return true;
  }
  // A child that cannot run is no child: it goes, as a start that failed.
  last_start_failure = start_failure();
  diagnose("resume failed, error %lu", last_start_failure);
  ::TerminateProcess(created.hProcess, last_start_failure);
  ::CloseHandle(created.hThread);
  ::CloseHandle(created.hProcess);
  created = {};
  return false;
}

// A handle while process `id` runs, else null.
HANDLE ProcessServices::State::probe(DWORD id) const {
  HANDLE probe = ::OpenProcess(access_to_probe, inherit_handle, id);
  if (probe == nullptr) return nullptr;
  // An ended process can still be opened while anyone anywhere holds a
  // handle to it (a debugger, a virus scanner, a process viewer), which would
  // keep the wrapper alive for good; and once the child has ended, another
  // process may get its id. A process that can be asked counts as gone when
  // it has ended, or when it is the child's id created at another moment.
  HANDLE query = ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
  bool ended = query != nullptr && ::WaitForSingleObject(query, 0) == WAIT_OBJECT_0;
  if (query != nullptr && !ended && id == child_id && child_created != 0) {
    const std::uint64_t created = creation_time(query);
    ended = created != 0 && created != child_created;
  }
  if (query != nullptr) ::CloseHandle(query);
  if (!ended) return probe;
  ::CloseHandle(probe);
  return nullptr;
}

ProcessServices::ProcessServices() : state_(std::make_unique<State>()) {}
ProcessServices::~ProcessServices() = default;

ProcessId ProcessServices::start(const CommandLine& command, WindowStyle style) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow =
      style == WindowStyle::minimized_no_focus ? SW_SHOWMINNOACTIVE : SW_SHOWNORMAL;
  // Created in the idle class already; the start-up sequence still sets the
  // class afterwards, as for any child.
  PROCESS_INFORMATION created{};
  if (!state_->create(command, FALSE, IDLE_PRIORITY_CLASS, {}, startup, created)) return 0;
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
  if (!state_->create(command, TRUE, NORMAL_PRIORITY_CLASS, current, startup, created)) return {};
  return {.process = portable(created.hProcess),
          .thread = portable(created.hThread),
          .id = static_cast<ProcessId>(created.dwProcessId)};
}

Handle ProcessServices::open_for_priority(ProcessId id) {
  return portable(::OpenProcess(access_for_priority, inherit_handle, static_cast<DWORD>(id)));
}

Handle ProcessServices::open_to_probe(ProcessId id) {
  return portable(state_->probe(static_cast<DWORD>(id)));
}

void ProcessServices::set_idle_priority(Handle process) {
  report("idle class", ::SetPriorityClass(native(process), IDLE_PRIORITY_CLASS));
}

void ProcessServices::close(Handle handle) {
  if (handle != 0) ::CloseHandle(native(handle));
}

// Windows tells a process's exit code only through a handle to it, and the
// wrapper holds none between probes: after a child it ends with 0. The watch
// also ends when the wrapper's window is closed (taskkill without /F) or the
// session ends (a log-off, a shutdown) while the child still runs; the
// wrapper then ends with ERROR_CANCELLED, which no start gives, so that
// whoever waits for the wrapper (start /wait, a scheduler) does not take it
// for the child's end.
int ProcessServices::exit_status(ProcessId id) const {
  if (id == 0) return static_cast<int>(state_->last_start_failure);
  HANDLE still_running = state_->probe(static_cast<DWORD>(id));
  if (still_running == nullptr) return 0;
  ::CloseHandle(still_running);
  return ERROR_CANCELLED;
}

// Windows has no signals: the exit status says all there is.
void ProcessServices::end_as_child_did(ProcessId /*id*/) const {}

FollowUp& ProcessServices::follow_up() { return state_->nothing; }

}  // namespace lull::platform
