#include "linux/wrapper_harness.h"

#include <dirent.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "file_text.h"

extern char** environ;

namespace lull::testing {
namespace {

int shell_status(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// Enters `folder` one name at a time when it is too long for one call.
bool enter(const std::string& folder) {
  if (::chdir(folder.c_str()) == 0) return true;
  if (errno != ENAMETOOLONG) return false;
  if (folder.front() == '/' && ::chdir("/") != 0) return false;
  for (std::size_t begin = 0; begin < folder.size();) {
    const std::size_t end = std::min(folder.find('/', begin), folder.size());
    if (end > begin && ::chdir(folder.substr(begin, end - begin).c_str()) != 0) return false;
    begin = end + 1;
  }
  return true;
}

// A filter that kills the process making system call `number` (any
// architecture's), as systemd's SystemCallFilter= does when the call is not
// on its list.
bool install_killing_filter(long number) {
  sock_filter program[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(number), 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  const sock_fprog filter{static_cast<unsigned short>(std::size(program)), program};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
}

[[noreturn]] void exec_wrapper(const Launch& launch) {
  ::setpgid(0, 0);  // a job of its own, as a shell starts it
  if (launch.standard_input >= 0) ::dup2(launch.standard_input, 0);
  if (launch.standard_output >= 0) {
    ::dup2(launch.standard_output, 1);
    ::dup2(launch.standard_output, 2);
  }
  if (launch.gate >= 0) {
    ::close(launch.gate_write_end);
    char byte = 0;
    while (::read(launch.gate, &byte, 1) != 0 && errno == EINTR) {
    }
  }
  // Only the descriptors a test asks for reach the wrapper.
  for (int fd = 3; fd < 1024; ++fd) {
    if (fd != launch.inherited_descriptor) ::close(fd);
  }
  for (int signal : launch.ignored_signals) ::signal(signal, SIG_IGN);
  sigset_t mask;
  ::sigemptyset(&mask);
  for (int signal : launch.blocked_signals) ::sigaddset(&mask, signal);
  ::sigprocmask(SIG_SETMASK, &mask, nullptr);
  if (!launch.folder.empty() && !enter(launch.folder)) ::_exit(250);
  for (const std::string& variable : launch.environment) ::putenv(::strdup(variable.c_str()));
  for (const auto& [resource, value] : {std::pair{RLIMIT_NOFILE, launch.descriptor_limit},
                                        {RLIMIT_FSIZE, launch.file_size_limit}}) {
    const rlimit limit{value, value};
    if (value != RLIM_INFINITY && ::setrlimit(resource, &limit) != 0) ::_exit(252);
  }
  if (launch.killing_syscall >= 0 && !install_killing_filter(launch.killing_syscall)) ::_exit(253);
  std::vector<char*> argv;
  std::vector<std::string> words{launch.argv0.empty() ? launch.program : launch.argv0};
  words.insert(words.end(), launch.arguments.begin(), launch.arguments.end());
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  // execvp, so that a bare program name is found on PATH as a shell would.
  ::execvp(launch.program.c_str(), argv.data());
  ::_exit(251);
}

}  // namespace

pid_t spawn(const Launch& launch) {
  const pid_t pid = ::fork();
  if (pid == 0) exec_wrapper(launch);
  return pid;
}

WrapperProcess::WrapperProcess(const Launch& launch) : pid_(spawn(launch)) {}

WrapperProcess::~WrapperProcess() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

std::optional<int> WrapperProcess::wait(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!status_) {
    int status = 0;
    const pid_t result = ::waitpid(pid_, &status, WNOHANG);
    if (result == pid_) {
      status_ = shell_status(status);
    } else if (result < 0 || std::chrono::steady_clock::now() >= deadline) {
      break;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  return status_;
}

bool WrapperProcess::running() { return !wait(std::chrono::milliseconds(0)).has_value(); }

std::optional<int> run_wrapper_process(const Launch& launch, std::chrono::milliseconds limit) {
  WrapperProcess wrapper(launch);
  return wrapper.wait(limit);
}

Report wait_for_report(const std::string& path, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (::access(path.c_str(), F_OK) != 0) {
    if (std::chrono::steady_clock::now() >= deadline) return {};
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  Report report;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    const std::size_t blank = line.find(' ');
    report.emplace(line.substr(0, blank), blank == std::string::npos ? "" : line.substr(blank + 1));
  }
  return report;
}

std::vector<std::string> values(const Report& report, const std::string& key) {
  std::vector<std::string> found;
  const auto [first, last] = report.equal_range(key);
  for (auto it = first; it != last; ++it) found.push_back(it->second);
  return found;
}

bool process_exists(pid_t pid) {
  if (::kill(pid, 0) != 0 && errno != EPERM) return false;
  // A zombie still answers kill(); it has ended all the same. A process that
  // ends between the open and the read makes the read fail (ESRCH): read so
  // that the failure is an empty text, not an exception.
  const std::string text = read_file("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t paren = text.rfind(')');
  return paren == std::string::npos || text.compare(paren + 2, 1, "Z") != 0;
}

bool wait_until_gone(pid_t pid, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (process_exists(pid)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::vector<ThreadClass> thread_classes(pid_t pid) {
  std::vector<ThreadClass> classes;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = ::opendir(tasks.c_str());
  if (dir == nullptr) return classes;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const std::string text = read_file(tasks + "/" + entry->d_name + "/stat");
    const std::size_t paren = text.rfind(')');
    if (paren == std::string::npos) continue;
    // Fields after the command: state is field 3; nice is 19, policy is 41.
    std::istringstream fields(text.substr(paren + 2));
    std::vector<std::string> field(3);  // field n at index n: 1 and 2 are pid and comm
    for (std::string word; fields >> word;) field.push_back(word);
    if (field.size() <= 41) continue;
    classes.push_back(
        {std::atoi(entry->d_name), std::atoi(field[41].c_str()), std::atoi(field[19].c_str())});
  }
  ::closedir(dir);
  return classes;
}

std::string cpu_group(const std::vector<std::string>& cgroup_lines) {
  for (const std::string& line : cgroup_lines) {
    const std::size_t first = line.find(':');
    const std::size_t second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    std::string_view controllers(line.data() + first + 1, second - first - 1);
    while (!controllers.empty()) {
      const std::size_t comma = std::min(controllers.find(','), controllers.size());
      if (controllers.substr(0, comma) == "cpu") return line.substr(second + 1);
      controllers.remove_prefix(std::min(comma + 1, controllers.size()));
    }
  }
  return "";
}

}  // namespace lull::testing
