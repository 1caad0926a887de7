#include "standin/standin.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "file_text.h"

extern char** environ;

namespace lull::standin {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

bool write_text(const std::string& path, const std::string& text) {
  std::ofstream out(path);
  out << text;
  out.flush();
  return static_cast<bool>(out);
}

std::vector<char*> pointers(std::vector<std::string>& words) {
  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  return argv;
}

// The test's environment changed by "NAME=value" (set) and "NAME" (unset).
std::vector<std::string> changed_environment(const std::vector<std::string>& changes) {
  std::vector<std::string> result;
  for (char** variable = environ; *variable != nullptr; ++variable) result.emplace_back(*variable);
  for (const std::string& change : changes) {
    const std::string name = change.substr(0, change.find('='));
    std::erase_if(result, [&](const std::string& v) {
      return v.compare(0, name.size() + 1, name + "=") == 0;
    });
    if (change.find('=') != std::string::npos) result.push_back(change);
  }
  return result;
}

int exit_status(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

// Reads `fd` until it closes and waits for `pid`, both by the deadline; a
// child still running then is killed with its process group.
Outcome collect(pid_t pid, int fd, Clock::time_point deadline) {
  Outcome outcome;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[4096];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got <= 0) break;
    outcome.output.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() >= deadline) {
      ::kill(-pid, SIGKILL);
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return outcome;
    }
    std::this_thread::sleep_for(5ms);
  }
  outcome.status = exit_status(status);
  return outcome;
}

bool on_path(const std::string& program) {
  return run_command({"sh", "-c", "command -v \"$0\" >/dev/null", program}, {}, 30s).status == 0;
}

}  // namespace

ServiceManager::ServiceManager(const Options& options) : options_(options) {
  char folder[] = "/tmp/lull-standin-log-XXXXXX";
  if (::mkdtemp(folder) == nullptr) return;
  folder_ = folder;
  std::vector<std::string> words{STANDIN_SCRIPT,
                                 "--mode",
                                 mode_name(options.mode),
                                 "--bus",
                                 options.bus == Bus::system ? "system" : "user",
                                 "--tree",
                                 options.tree,
                                 "--log",
                                 folder_ + "/log"};
  if (!options.features.empty()) words.insert(words.end(), {"--features", options.features});
  if (options.restrict_file_systems) words.emplace_back("--restrict-file-systems");
  if (options.uid) {
    words.emplace_back("--uid");
    words.emplace_back(std::to_string(*options.uid));
  }
  int input[2];
  int output[2];
  if (::pipe2(input, O_CLOEXEC) != 0) return;
  if (::pipe2(output, O_CLOEXEC) != 0) {
    ::close(input[0]);
    ::close(input[1]);
    return;
  }
  std::vector<char*> argv = pointers(words);
  pid_ = ::fork();
  if (pid_ == 0) {
    // It goes, and takes its bus with it, if the test dies.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    ::dup2(input[0], 0);
    ::dup2(output[1], 1);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(input[0]);
  ::close(output[1]);
  input_ = input[1];
  output_ = output[0];
  if (pid_ < 0) return;
  // The first line says where the bus is, once clients may connect.
  std::string line;
  const auto deadline = Clock::now() + 30s;
  while (line.find('\n') == std::string::npos) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd ready{output_, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) return;
    char c;
    if (::read(output_, &c, 1) != 1) return;
    line += c;
  }
  if (line.starts_with("address=")) address_ = line.substr(8, line.size() - 9);
}

ServiceManager::~ServiceManager() {
  if (input_ >= 0) ::close(input_);
  if (pid_ > 0) {
    // It stops its bus and removes its groups on its own; a kill is the last resort.
    const auto deadline = Clock::now() + 30s;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (Clock::now() >= deadline) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(5ms);
    }
  }
  if (output_ >= 0) ::close(output_);
  if (!folder_.empty()) {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }
}

std::string ServiceManager::bus_variable() const {
  return std::string(options_.bus == Bus::system ? "DBUS_SYSTEM_BUS_ADDRESS="
                                                 : "DBUS_SESSION_BUS_ADDRESS=") +
         address_;
}

std::vector<std::string> ServiceManager::log() const {
  std::vector<std::string> lines;
  std::ifstream in(folder_ + "/log");
  // A line is whole once its newline is there.
  for (std::string line; std::getline(in, line);) {
    if (!in.eof()) lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> ServiceManager::wait_for_log(std::size_t count,
                                                      std::chrono::milliseconds limit) const {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    std::vector<std::string> lines = log();
    if (lines.size() >= count || Clock::now() >= deadline) return lines;
    std::this_thread::sleep_for(10ms);
  }
}

std::optional<std::string> json_field(std::string_view json, std::string_view key) {
  const std::string quoted = "\"" + std::string(key) + "\":";
  std::size_t at = json.find(quoted);
  if (at == std::string_view::npos) return std::nullopt;
  at += quoted.size();
  while (at < json.size() && json[at] == ' ') ++at;
  if (at >= json.size()) return std::nullopt;
  if (json[at] == '"') {
    std::string text;
    for (std::size_t i = at + 1; i < json.size() && json[i] != '"'; ++i) {
      if (json[i] == '\\' && i + 1 < json.size()) ++i;
      text += json[i];
    }
    return text;
  }
  // A number, true, false, null, or an array or object up to its closing bracket.
  int depth = 0;
  std::size_t end = at;
  for (bool in_string = false; end < json.size(); ++end) {
    const char c = json[end];
    if (in_string) {
      if (c == '\\')
        ++end;
      else if (c == '"')
        in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      ++depth;
    } else if (c == ']' || c == '}') {
      if (depth == 0) break;
      if (--depth == 0) {
        ++end;
        break;
      }
    } else if (c == ',' && depth == 0) {
      break;
    }
  }
  return std::string(json.substr(at, end - at));
}

const char* mode_name(Mode mode) {
  switch (mode) {
    case Mode::ok:
      return "ok";
    case Mode::old:
      return "old";
    case Mode::unit_exists_once:
      return "unit-exists-once";
    case Mode::refuse:
      return "refuse";
    case Mode::fail_job:
      return "fail-job";
    case Mode::never_finish:
      return "never-finish";
    case Mode::no_reply:
      return "no-reply";
    case Mode::silent:
      return "silent";
  }
  return "ok";
}

// Where the v1 hierarchy with mount option `option` ("cpu", "name=systemd") is mounted.
static std::string hierarchy_with(const std::string& wanted) {
  std::ifstream in("/proc/self/mountinfo");
  for (std::string line; std::getline(in, line);) {
    const std::size_t separator = line.find(" - ");
    if (separator == std::string::npos) continue;
    std::istringstream before(line.substr(0, separator));
    std::istringstream after(line.substr(separator + 3));
    std::string skipped;
    std::string mount_point;
    before >> skipped >> skipped >> skipped >> skipped >> mount_point;
    std::string type;
    std::string source;
    std::string options;
    after >> type >> source >> options;
    if (type != "cgroup") continue;
    std::istringstream list(options);
    for (std::string option; std::getline(list, option, ',');) {
      if (option == wanted) return mount_point;
    }
  }
  return {};
}

std::string cpu_hierarchy() { return hierarchy_with("cpu"); }

std::string group_of(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/cgroup");
  for (std::string line; std::getline(in, line);) {
    const std::size_t first = line.find(':');
    const std::size_t second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    std::istringstream list(line.substr(first + 1, second - first - 1));
    for (std::string controller; std::getline(list, controller, ',');) {
      if (controller == "cpu") return line.substr(second + 1);
    }
  }
  return {};
}

std::string why_unusable() {
  if (::geteuid() != 0) return "the control groups need root";
  const std::string hierarchy = cpu_hierarchy();
  if (hierarchy.empty()) return "no cpu controller hierarchy (cgroup v1)";
  if (::access((hierarchy + "/cgroup.procs").c_str(), W_OK) != 0)
    return "the cpu hierarchy is read-only";
  for (const char* program : {"dbus-daemon", "systemd-run", "unshare"}) {
    if (!on_path(program)) return std::string(program) + " is not installed";
  }
  if (run_command({"/usr/bin/python3", "-c", "import dbus, dbus.mainloop.glib, gi.repository.GLib"},
                  {}, 30s)
          .status != 0) {
    return "Python's dbus and gi modules (python3-dbus, python3-gi) are missing";
  }
  return {};
}

GroupTree::GroupTree()
    : hierarchy_(cpu_hierarchy()), unit_hierarchy_(hierarchy_with("name=systemd")) {
  static int count = 0;
  // A slice, as the top of a manager's tree is.
  top_ = "lull-test-" + std::to_string(::getpid()) + "-" + std::to_string(++count) + ".slice";
  make("");
}

GroupTree::~GroupTree() {
  remove_all(hierarchy_);
  remove_all(unit_hierarchy_);
}

void GroupTree::remove_all(const std::string& hierarchy) const {
  if (hierarchy.empty()) return;
  const fs::path top = fs::path(hierarchy) / top_;
  std::error_code error;
  if (!fs::exists(top, error)) return;
  std::vector<fs::path> groups{top};
  for (auto it = fs::recursive_directory_iterator(top, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (it->is_directory()) groups.push_back(it->path());
  }
  const std::string root_procs = hierarchy + "/cgroup.procs";
  for (const fs::path& group : groups) {
    std::istringstream procs(testing::read_file((group / "cgroup.procs").string()));
    for (std::string pid; procs >> pid;) write_text(root_procs, pid);
  }
  // Deepest first: a group with children cannot go.
  std::sort(groups.begin(), groups.end(), [](const fs::path& a, const fs::path& b) {
    return a.string().size() > b.string().size();
  });
  for (const fs::path& group : groups) ::rmdir(group.c_str());
}

std::string GroupTree::path(const std::string& relative) const {
  return hierarchy_ + "/" + top_ + (relative.empty() ? "" : "/" + relative);
}

bool GroupTree::make(const std::string& relative) const {
  if (hierarchy_.empty()) return false;
  std::error_code error;
  if (!unit_hierarchy_.empty())
    fs::create_directories(unit_hierarchy_ + "/" + top_ + "/" + relative, error);
  fs::create_directories(path(relative), error);
  return !error && fs::is_directory(path(relative));
}

bool GroupTree::move(pid_t pid, const std::string& relative) const {
  if (!unit_hierarchy_.empty())
    write_text(unit_hierarchy_ + "/" + top_ + "/" + relative + "/cgroup.procs",
               std::to_string(pid));
  return write_text(path(relative) + "/cgroup.procs", std::to_string(pid));
}

std::string GroupTree::read(const std::string& relative, const std::string& file) const {
  std::string text = testing::read_file(path(relative) + "/" + file);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

UserTree lay_out_user_tree(const GroupTree& tree, uid_t uid) {
  const std::string id = std::to_string(uid);
  const std::string user_slice = "user.slice/user-" + id + ".slice";
  UserTree layout{user_slice + "/user@" + id + ".service",
                  user_slice + "/user@" + id + ".service/app.slice/test-1.scope",
                  user_slice + "/session-1.scope"};
  // Beside the user's own work, as on a real machine: the manager's init.scope
  // and the session slice.
  for (const std::string& group :
       {layout.app_scope, layout.session_scope, layout.manager + "/init.scope",
        layout.manager + "/session.slice", std::string("system.slice")}) {
    tree.make(group);
  }
  return layout;
}

std::optional<Account> ordinary_user() {
  const passwd* entry = ::getpwnam("nobody");
  if (entry == nullptr) return std::nullopt;
  return Account{entry->pw_uid, entry->pw_gid};
}

Outcome run_command(const std::vector<std::string>& argv,
                    const std::vector<std::string>& environment, std::chrono::milliseconds limit) {
  std::vector<std::string> words = argv;
  std::vector<std::string> variables = changed_environment(environment);
  std::vector<char*> args = pointers(words);
  std::vector<char*> env = pointers(variables);
  int output[2];
  if (::pipe2(output, O_CLOEXEC) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setpgid(0, 0);
    ::dup2(output[1], 1);
    ::execvpe(args[0], args.data(), env.data());
    ::_exit(127);
  }
  ::close(output[1]);
  if (pid < 0) {
    ::close(output[0]);
    return {};
  }
  return collect(pid, output[0], Clock::now() + limit);
}

Outcome run_as(const Account& account, const std::function<int()>& body,
               const std::function<bool()>& prepare, std::chrono::milliseconds limit) {
  int output[2];
  if (::pipe2(output, O_CLOEXEC) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setpgid(0, 0);
    ::dup2(output[1], 1);
    if (prepare && !prepare()) ::_exit(125);
    if (::chdir("/") != 0 || ::setgroups(0, nullptr) != 0 || ::setgid(account.gid) != 0 ||
        ::setuid(account.uid) != 0) {
      ::_exit(126);
    }
    const int status = body();
    (void)std::fflush(stdout);
    ::_exit(status);
  }
  ::close(output[1]);
  if (pid < 0) {
    ::close(output[0]);
    return {};
  }
  return collect(pid, output[0], Clock::now() + limit);
}

std::vector<std::string> as_if_booted_with_systemd(const std::vector<std::string>& argv,
                                                   const std::string& system_bus) {
  const std::string socket = system_bus.starts_with("unix:path=") ? system_bus.substr(10) : "";
  std::vector<std::string> words{
      "/usr/bin/unshare",
      "--mount",
      "--propagation",
      "private",
      "sh",
      "-c",
      "mount -t tmpfs none /run && mkdir -p /run/systemd/system /run/dbus && "
      "{ [ -z \"$0\" ] || ln -s \"$0\" /run/dbus/system_bus_socket; } && exec \"$@\"",
      socket};
  words.insert(words.end(), argv.begin(), argv.end());
  return words;
}

}  // namespace lull::standin
