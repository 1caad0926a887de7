// Runs the built wrappers as real processes and reads what the test child
// reported. Paths of the built programs come from the build (see CMakeLists).
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace lull::testing {

// How long a wait lasts before it counts as "did not happen": an idle-class
// child on a saturated machine may go without a processor for many seconds.
inline constexpr std::chrono::seconds patience{60};

// How the wrapper process is started.
struct Launch {
  std::string program;                        // the path it is started by
  std::string argv0 = {};                     // its argv[0]; empty: the program
  std::vector<std::string> arguments = {};    // after the program name
  std::string folder = {};                    // current folder; empty: the test's own
  std::vector<std::string> environment = {};  // "NAME=value" added to the test's own
  std::vector<int> ignored_signals = {};      // set to SIG_IGN before exec
  std::vector<int> blocked_signals = {};      // blocked before exec
  int inherited_descriptor = -1;              // left open for the wrapper, beside 0, 1 and 2
  int standard_input = -1;                    // made its descriptor 0; -1: the test's own
  int standard_output = -1;                   // made its descriptors 1 and 2; -1: the test's own
  rlim_t descriptor_limit = RLIM_INFINITY;    // RLIMIT_NOFILE, soft and hard, before exec
  rlim_t file_size_limit = RLIM_INFINITY;     // RLIMIT_FSIZE, soft and hard, before exec
  // When set, a system-call filter kills the process (and what it starts)
  // that makes this call, as systemd's SystemCallFilter= does.
  long killing_syscall = -1;
  // When set, waits before the exec until the pipe `gate` reads its end: the
  // starter closes `gate_write_end`, and every process waiting goes at once.
  int gate = -1;
  int gate_write_end = -1;
};

// Starts `launch` in a process of its own (a job of its own, as a shell
// starts it); the caller waits for it.
pid_t spawn(const Launch& launch);

class WrapperProcess {
 public:
  explicit WrapperProcess(const Launch& launch);
  ~WrapperProcess();  // kills a wrapper still running
  WrapperProcess(const WrapperProcess&) = delete;
  WrapperProcess& operator=(const WrapperProcess&) = delete;

  [[nodiscard]] pid_t pid() const { return pid_; }
  // The exit status as a shell reports it (128+N for signal N), or nothing
  // when the wrapper is still running after `limit`.
  std::optional<int> wait(std::chrono::milliseconds limit);
  [[nodiscard]] bool running();

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// Starts, waits at most `limit`, and gives the exit status (nothing on time-out).
std::optional<int> run_wrapper_process(const Launch& launch,
                                       std::chrono::milliseconds limit = patience);

// The test child's report: every value of every key, in order.
using Report = std::multimap<std::string, std::string>;
// Waits until the report file exists, then reads it; empty on time-out.
Report wait_for_report(const std::string& path, std::chrono::milliseconds limit = patience);
std::vector<std::string> values(const Report& report, const std::string& key);

bool process_exists(pid_t pid);
// Waits until `pid` has gone (it is not our child): false on time-out.
bool wait_until_gone(pid_t pid, std::chrono::milliseconds limit);

// Scheduling policy and nice of every thread of `pid`, from /proc/<pid>/task/*/stat.
struct ThreadClass {
  int tid;
  int policy;
  int nice;
};
std::vector<ThreadClass> thread_classes(pid_t pid);

// Where the unified tree is mounted: beside the v1 hierarchies on a hybrid
// machine, else at the top.
inline std::string unified_mount() {
  return ::access("/sys/fs/cgroup/unified/cgroup.procs", F_OK) == 0 ? "/sys/fs/cgroup/unified"
                                                                    : "/sys/fs/cgroup";
}

// The group in the cpu controller's hierarchy among /proc/PID/cgroup lines
// (the test child reports them as "cgroup"); "" when none carries it.
std::string cpu_group(const std::vector<std::string>& cgroup_lines);

}  // namespace lull::testing
