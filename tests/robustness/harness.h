// Running the wrapper under test as a real process: a folder holding a link to
// the wrapper (so it reads that folder's settings file), start with options,
// bounded waits, and what is left behind. Linux only.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "file_text.h"
#include "linux/wrapper_harness.h"

namespace lull::robustness {

// Built next to the tests; paths given by the build.
inline const std::string wrapper_program = LULL_WRAPPER;
inline const std::string child_program = LULL_CHILD;
inline const std::string interrupting_handler = LULL_INTERRUPTING_HANDLER;

// How many times to repeat what is repeated: fewer under the sanitizers, where
// every wrapper takes many times longer to start.
#ifdef LULL_SANITIZED
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif
constexpr int repeat(int plain, int under_sanitizers) {
  return sanitized ? under_sanitizers : plain;
}

// A wrapper installed in a folder of its own as `job`: it reads job.properties.
class Installed {
 public:
  explicit Installed(const std::filesystem::path& folder) : folder_(folder) {
    std::filesystem::create_directories(folder_);
    std::filesystem::create_symlink(wrapper_program, folder_ / "job");
  }
  [[nodiscard]] std::string wrapper() const { return (folder_ / "job").string(); }
  [[nodiscard]] std::string settings() const { return (folder_ / "job.properties").string(); }
  [[nodiscard]] std::string path(const std::string& name) const {
    return (folder_ / name).string();
  }
  [[nodiscard]] const std::filesystem::path& folder() const { return folder_; }

 private:
  std::filesystem::path folder_;
};

// How one wrapper is started.
struct Launch {
  std::vector<std::string> arguments;  // none: Java mode
  int standard_input = -1;             // -1: /dev/null
  rlim_t file_size_limit = RLIM_INFINITY;
  bool preload_interrupting_handler = false;
  // When set, waits before the exec until the pipe `gate` reads its end: the
  // starter closes `gate_write_end`, and every process waiting goes at once.
  int gate = -1;
  int gate_write_end = -1;
};

// Starts the wrapper; its output goes nowhere, as when started from a desktop.
inline pid_t start(const std::string& wrapper, const Launch& launch = {}) {
  static const int nowhere = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  testing::Launch how{
      .program = wrapper,
      .arguments = launch.arguments,
      .standard_input = launch.standard_input >= 0 ? launch.standard_input : nowhere,
      .standard_output = nowhere,
      .file_size_limit = launch.file_size_limit,
      .gate = launch.gate,
      .gate_write_end = launch.gate_write_end};
  if (launch.preload_interrupting_handler) {
    const char* asan_options = std::getenv("ASAN_OPTIONS");
    how.environment = {"LD_PRELOAD=" + interrupting_handler,
                       "ASAN_OPTIONS=" + std::string(asan_options != nullptr ? asan_options : "") +
                           ":verify_asan_link_order=0"};
  }
  return testing::spawn(how);
}

// Waits up to `limit` for process `pid` to end and returns its wait status;
// kills it and returns nothing when it is still there at the limit.
inline std::optional<int> wait_for(pid_t pid,
                                   std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status = 0;
    const pid_t result = ::waitpid(pid, &status, WNOHANG);
    if (result == pid) return status;
    if (result < 0 && errno != EINTR) return std::nullopt;
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// Whether `pid` is still running (not ended, not waiting to be reaped).
inline bool running(pid_t pid) {
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == 0;
}

// The exit status of a wrapper that ended normally, or -1 after a signal.
inline int exit_code(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

inline std::string describe(int status) {
  if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  return "status " + std::to_string(status);
}

// Makes this test process the reaper of whatever its wrappers leave behind, so
// that an orphaned child or zombie shows up in `leftover_children`.
inline void adopt_orphans() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }

// The processes whose parent is `parent`, from /proc.
inline std::vector<pid_t> children_of(pid_t parent) {
  std::vector<pid_t> children;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(entry.path() / "stat");
    std::string stat;
    std::getline(in, stat);
    // pid (comm) state ppid ...: the command may hold blanks and parentheses.
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(stat.substr(close + 1));
    char state = 0;
    pid_t ppid = 0;
    rest >> state >> ppid;
    if (ppid == parent) children.push_back(static_cast<pid_t>(std::stol(name)));
  }
  return children;
}

// Counts, ends and reaps every child this process still has: 0 once every
// wrapper has been waited for and none left a process or zombie behind.
inline int leftover_children() {
  int count = 0;
  for (const pid_t pid : children_of(::getpid())) {
    ++count;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  while (::waitpid(-1, nullptr, WNOHANG) > 0) ++count;
  return count;
}

using testing::read_file;
using testing::write_file;

// The value of `field` (such as "VmRSS:") in /proc/<pid>/status, in its unit.
inline long proc_status(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with(field)) return std::atol(line.c_str() + field.size());
  }
  return -1;
}

inline long open_descriptors(pid_t pid) {
  long count = 0;
  for ([[maybe_unused]] const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
    ++count;
  return count;
}

}  // namespace lull::robustness
