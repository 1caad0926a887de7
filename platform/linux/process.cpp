// Process services for Linux: fork and exec on a clean slate, the idle
// scheduling class, probing by reaping. Linux code only.
#include "platform/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/diagnostics.h"
#include "platform/linux/disk_pause.h"
#include "platform/linux/job_tree.h"
#include "platform/linux/network_yield.h"
#include "platform/linux/path_search.h"
#include "platform/linux/placement.h"
#include "platform/linux/session_group.h"
#include "platform/linux/signals.h"
#include "platform/linux/words.h"

extern char** environ;  // NOLINT(readability-redundant-declaration): not every system declares it

namespace lull::platform {
namespace {

constexpr int lowest_nice = 19;

// The I/O priority values are the kernel's stable ABI. They are defined here
// rather than taken from <linux/ioprio.h>, whose newer versions (Linux 6.1.192
// and later) carry an inline function with a parameter named `class`, which
// no C++ compiler parses.
constexpr int ioprio_who_process = 1;
constexpr int ioprio_class_idle = 3;
constexpr int ioprio_class_shift = 13;
constexpr int status_not_found = 127;
constexpr int status_not_runnable = 126;

// The follow-ups on the child: its session group, and its pause on the disk.
struct FollowUps final : FollowUp {
  SessionGroupFollowUp session_group;
  DiskPause pause;

  [[nodiscard]] std::chrono::steady_clock::time_point due() const override {
    return std::min(session_group.due(), pause.due());
  }
  void run() override {
    session_group.run();
    pause.run();
  }
  void finish() override { pause.finish(); }
  void suspend() override { pause.suspend(); }
  [[nodiscard]] int wake_descriptor() const override { return pause.wake_descriptor(); }
};

// What the services keep of their child: what the exit status is made of
// once the watch is over, where the child was to go (its shared idle group is
// removed after it), and the follow-ups.
struct Kept {
  int last_start_failure = 0;
  ProcessId reaped_id = 0;
  int reaped_status = 0;
  PlacementPlan placement;
  FollowUps follow_ups;
  NetworkYield network;
};

// Everything the forked child needs, built before the fork so that between
// fork and exec only async-signal-safe calls are made.
struct Exec {
  std::vector<std::string> words;
  std::vector<std::string> candidates;  // where the program may be, in PATH order
  std::vector<char*> argv;
  std::string folder;
  bool input_is_terminal = false;
};

bool prepare(const CommandLine& command, const std::string& folder, Exec& exec) {
  exec.words = command.is_words ? command.words : split_words(command.text);
  if (exec.words.empty()) return false;
  exec.candidates = path_candidates(exec.words.front());
  for (std::string& word : exec.words) exec.argv.push_back(word.data());
  exec.argv.push_back(nullptr);
  exec.folder = folder;
  exec.input_is_terminal = ::isatty(0) == 1;
  return true;
}

// The status a shell gives a program that could not be executed.
int status_for(int exec_error) {
  return exec_error == ENOENT || exec_error == ENOTDIR ? status_not_found : status_not_runnable;
}

// A hidden child in a session of its own would go on reading the caller's
// terminal: lines typed to the shell would go to it, and job control could
// not stop it. It reads nothing instead, as under nohup. Closing 0 first
// lets /dev/null land on it even at the descriptor limit.
void input_from_nowhere(const Exec& exec) {
  if (!exec.input_is_terminal) return;
  ::close(0);
  ::open("/dev/null", O_RDONLY);
}

// The idle I/O class: the disk serves the child only when no one else wants
// it (where the disk's scheduler knows classes: bfq, mq-deadline).
void make_io_idle(pid_t thread) {
  ::syscall(SYS_ioprio_set, ioprio_who_process, thread, ioprio_class_idle << ioprio_class_shift);
}

// A real-time policy inherited from the wrapper's caller is dropped first, so
// the child neither hogs the machine while it places itself nor carries it on.
void drop_real_time_policy() {
  const int policy = ::sched_getscheduler(0);
  if (policy == SCHED_FIFO || policy == SCHED_RR) {
    const sched_param param{};
    ::sched_setscheduler(0, SCHED_OTHER, &param);
  }
}

// Runs in the forked child. Only async-signal-safe calls from here to exec,
// apart from placing itself, which uses the heap and may load a library to
// talk to the service manager: the plan allows that only when the wrapper was
// single-threaded at the fork, and exec drops both.
[[noreturn]] void become_child(const Exec& exec, const PlacementPlan& plan, int report_fd,
                               Placement* report, const NetworkYield& network) {
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &default_action, nullptr);
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);

  // A session of its own: the terminal's Ctrl-C or hang-up, or the end of
  // the wrapper, leave the child running.
  ::setsid();
  drop_real_time_policy();
  // Placed before it turns idle: on a busy machine an idle child would be
  // starved in its talk with the service manager.
  const Placement placed = place_self(plan);
  if (report != nullptr) *report = placed;
  network.wait_for_programs();  // every socket of the job made from here on gives way
  // Idle before the first instruction of the program: threads inherit the
  // class, so every thread the child ever makes runs idle too.
  ::setpriority(PRIO_PROCESS, 0, lowest_nice);
  const sched_param param{};
  ::sched_setscheduler(0, SCHED_IDLE, &param);
  make_io_idle(0);

  input_from_nowhere(exec);

  int error = 0;
  if (!exec.folder.empty() && ::chdir(exec.folder.c_str()) != 0) {
    error = errno;
  } else {
    // The search that execvp makes, without its fallback to a shell.
    bool denied = false;
    error = ENOENT;
    for (const std::string& candidate : exec.candidates) {
      ::execve(candidate.c_str(), exec.argv.data(), environ);
      if (errno == EACCES) {
        denied = true;
      } else if (errno != ENOENT && errno != ENOTDIR) {
        error = errno;
        break;
      }
    }
    if (error == ENOENT && denied) error = EACCES;
  }
  // The pipe is close-on-exec: a byte arriving means exec never happened.
  // Without the pipe the failure shows as the child's own status.
  while (report_fd >= 0 && ::write(report_fd, &error, sizeof error) < 0 && errno == EINTR) {
  }
  ::_exit(status_for(error));
}

void reap_now(pid_t pid) {
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

ProcessId launch(Kept& kept, const CommandLine& command, const std::string& folder) {
  Exec exec;
  if (!prepare(command, folder, exec)) {
    kept.last_start_failure = status_not_found;
    return 0;
  }
  // The plan reads the kernel's files first: under a tight descriptor limit
  // the pipe below may take the last descriptors there are.
  PlacementPlan& placement = kept.placement = plan_placement();
  // There may be no room for the report pipe: the child starts all the same,
  // as under env or nice, and a program that cannot be executed shows as the
  // child's own status.
  int report[2] = {-1, -1};
  if (::pipe2(report, O_CLOEXEC) != 0) report[0] = report[1] = -1;
  // The child says through shared memory how it placed itself.
  void* shared =
      ::mmap(nullptr, sizeof(Placement), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  auto* told = shared != MAP_FAILED ? new (shared) Placement{} : nullptr;
  kept.network.plan(placement);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (report[0] >= 0) ::close(report[0]);
    become_child(exec, placement, report[1], told, kept.network);
  }
  if (report[1] >= 0) ::close(report[1]);
  kept.network.attach(pid, placement);
  int error = 0;
  ssize_t got = 0;
  if (pid > 0 && report[0] >= 0) {
    do {
      got = ::read(report[0], &error, sizeof error);
    } while (got < 0 && errno == EINTR);
  }
  if (report[0] >= 0) ::close(report[0]);
  // Without the pipe the child may not have placed itself yet.
  const Placement placed = told != nullptr ? *told : Placement{};
  if (told != nullptr) ::munmap(told, sizeof(Placement));
  if (pid < 0 || got != 0) {
    if (pid > 0) reap_now(pid);
    // A failed start leaves nothing: the leaf the child made goes before its
    // shared group. A manager's scope goes with its last process, groups
    // below it included.
    if (placed.in_leaf && placed.route == Route::own_tree)
      remove_leaf(placement.leaf_parent + "/" + placement.leaf_name);
    release(placement);
    kept.last_start_failure = pid > 0 ? status_for(error) : status_not_runnable;
    diagnose("start: %s", std::strerror(pid > 0 ? error : errno));
    return 0;
  }
  const bool may_need_follow_up =
      placed.route == Route::unknown && placement.session_groups && placement.in_root_cpu_group;
  if (placed.session_group_refused || may_need_follow_up) kept.follow_ups.session_group.follow(pid);
  kept.follow_ups.pause.follow(pid, placement.unified_tree,
                               placed.in_leaf ? placement.leaf_name : std::string());
  return pid;
}

bool exists(ProcessId id) { return id > 0 && (::kill(id, 0) == 0 || errno == EPERM); }

void set_thread_idle(pid_t thread) {
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(thread), lowest_nice);
  const sched_param param{};
  ::sched_setscheduler(thread, SCHED_IDLE, &param);
  make_io_idle(thread);
}

}  // namespace

struct ProcessServices::State : Kept {};

ProcessServices::ProcessServices() : state_(std::make_unique<State>()) {}
ProcessServices::~ProcessServices() = default;

ProcessId ProcessServices::start(const CommandLine& command,
                                 WindowStyle /*style: no windows here*/) {
  return launch(*state_, command, {});
}

ProcessInformation ProcessServices::create_process(const CommandLine& command,
                                                   const std::string& folder) {
  const ProcessId id = launch(*state_, command, folder.empty() ? "/" : folder);
  return {.process = id, .thread = 0, .id = id};
}

// A handle here is the process id itself: nothing is held, nothing to close.
Handle ProcessServices::open_for_priority(ProcessId id) { return exists(id) ? id : 0; }

Handle ProcessServices::open_to_probe(ProcessId id) {
  if (id <= 0 || id == state_->reaped_id) return 0;
  // Reaping tells an ended child from a live one; a zombie would still
  // answer kill(id, 0), and a reaped id could be reused by another process.
  int status = 0;
  pid_t result = 0;
  do {
    result = ::waitpid(id, &status, WNOHANG);
  } while (result < 0 && errno == EINTR);
  if (result == 0) return id;
  if (result == id) {
    state_->reaped_id = id;
    state_->reaped_status = status;
    state_->follow_ups.session_group.stop();
    state_->follow_ups.pause.end();  // before the shared group, which the leaf keeps
    state_->network.release();
    release(state_->placement);
    return 0;
  }
  return exists(id) ? id : 0;  // not a child of ours: only existence can be asked
}

// Linux scheduling policy belongs to each thread: every thread the child
// has by now is set, not only its main one.
void ProcessServices::set_idle_priority(Handle process) {
  const auto pid = static_cast<pid_t>(process);
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* folder = ::opendir(tasks.c_str());
  if (folder == nullptr) {
    set_thread_idle(pid);
    return;
  }
  while (const dirent* entry = ::readdir(folder)) {
    if (entry->d_name[0] != '.') set_thread_idle(static_cast<pid_t>(std::atoi(entry->d_name)));
  }
  ::closedir(folder);
}

void ProcessServices::close(Handle /*handle*/) {}

int ProcessServices::exit_status(ProcessId id) const {
  if (id == 0) return state_->last_start_failure;
  if (id != state_->reaped_id) return 0;
  const int status = state_->reaped_status;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 0;
}

// A shell reports the signal as 128+N either way, but a service manager
// counts only an end by SIGTERM as a clean stop: stopping a service stops the
// job's scope too, and where the job goes first, the wrapper must not report
// that as a failure of its own. No core file is left for the child's crash.
void ProcessServices::end_as_child_did(ProcessId id) const {
  if (id == 0 || id != state_->reaped_id || !WIFSIGNALED(state_->reaped_status)) return;
  // Where it does not end us, the status says it all the same.
  end_by_signal(WTERMSIG(state_->reaped_status));
}

FollowUp& ProcessServices::follow_up() { return state_->follow_ups; }

}  // namespace lull::platform
