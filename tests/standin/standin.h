// The stand-in service manager (service_manager.py) for tests: started on a
// private bus for one test, its log of StartTransientUnit calls, a private
// subtree of the cpu hierarchy shaped like a systemd machine's, and commands
// run as an ordinary user. Linux only; the control groups need root.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lull::standin {

using namespace std::chrono_literals;

// How the stand-in behaves (its --mode).
enum class Mode {
  ok,                // as systemd 252 and later
  old,               // systemd before 252: CPUWeight 0 is out of range
  unit_exists_once,  // the first StartTransientUnit gets UnitExists
  refuse,            // every StartTransientUnit gets AccessDenied
  fail_job,          // the job is accepted, JobRemoved says "failed", no group
  never_finish,      // the job is accepted, JobRemoved never comes
  no_reply,          // StartTransientUnit is never answered
  silent,            // no bus: a socket that takes connections and never speaks
};

// The mode as the stand-in's --mode names it ("unit-exists-once").
const char* mode_name(Mode mode);

// Which manager it plays: the system's (default slice system.slice) or a
// user's (app.slice).
enum class Bus { system, user };

struct Options {
  Mode mode = Mode::ok;
  Bus bus = Bus::system;
  std::string tree;  // the manager's top group, relative to the cpu hierarchy's root
  std::optional<uid_t> uid =
      std::nullopt;           // a user manager's user: it then moves only that user's processes
  std::string features = {};  // the manager's Features ("": as systemd 252 with all)
  bool restrict_file_systems = false;  // services read RestrictFileSystems= back as (true, [])
};

// The stand-in, running from construction to destruction. Its destruction
// stops its bus and removes the groups it made that are empty.
class ServiceManager {
 public:
  explicit ServiceManager(const Options& options);
  ~ServiceManager();
  ServiceManager(const ServiceManager&) = delete;
  ServiceManager& operator=(const ServiceManager&) = delete;

  // Empty when the stand-in did not start.
  [[nodiscard]] const std::string& address() const { return address_; }
  // The variable a client reads for this manager's bus, "NAME=address".
  [[nodiscard]] std::string bus_variable() const;
  // One JSON object a line per StartTransientUnit call, in order.
  [[nodiscard]] std::vector<std::string> log() const;
  // The log once it holds `count` lines, or as it is when `limit` passes.
  [[nodiscard]] std::vector<std::string> wait_for_log(std::size_t count,
                                                      std::chrono::milliseconds limit = 30s) const;

 private:
  Options options_;
  pid_t pid_ = -1;
  int input_ = -1;   // its stdin: closing it ends the stand-in
  int output_ = -1;  // its stdout, kept open so that it never writes into nothing
  std::string folder_;
  std::string address_;
};

// The value of the first `"key":` in a JSON text: a string without its quotes,
// anything else as written (0, true, null, [123], {...}); nothing when absent.
std::optional<std::string> json_field(std::string_view json, std::string_view key);

// Where the cpu controller's hierarchy is mounted; empty when there is none.
std::string cpu_hierarchy();
// A process's group in that hierarchy ("/a/b.scope"), from /proc/PID/cgroup.
std::string group_of(pid_t pid);
// Why the stand-in cannot run here (not root, the cpu hierarchy missing or
// read-only, dbus-daemon, systemd-run, unshare or Python's dbus missing);
// empty when it can.
std::string why_unusable();

// A private subtree of the cpu hierarchy for one test, playing the
// hierarchy's root, mirrored in the service manager's own v1 hierarchy
// (name=systemd) where there is one, which names a process's unit. Its
// destruction moves every process still in it back to the hierarchy's root
// and removes every group in it, deepest first.
class GroupTree {
 public:
  GroupTree();
  ~GroupTree();
  GroupTree(const GroupTree&) = delete;
  GroupTree& operator=(const GroupTree&) = delete;

  // Relative to the hierarchy's root, without a leading slash; a slice.
  [[nodiscard]] const std::string& top() const { return top_; }
  // The full path of `relative` (relative to top()).
  [[nodiscard]] std::string path(const std::string& relative) const;
  // Makes `relative` and the groups above it.
  bool make(const std::string& relative) const;
  // Moves `pid` into `relative`.
  bool move(pid_t pid, const std::string& relative) const;
  // One of the group's files (cpu.idle, cpu.shares), without its newline.
  [[nodiscard]] std::string read(const std::string& relative, const std::string& file) const;

 private:
  void remove_all(const std::string& hierarchy) const;

  std::string hierarchy_;
  std::string unit_hierarchy_;
  std::string top_;
};

// A login shaped as systemd lays it out, relative to a GroupTree's top.
struct UserTree {
  std::string manager;        // user.slice/user-UID.slice/user@UID.service
  std::string app_scope;      // <manager>/app.slice/test-1.scope: a program the user started
  std::string session_scope;  // user.slice/user-UID.slice/session-1.scope: an ssh or console login
};
UserTree lay_out_user_tree(const GroupTree& tree, uid_t uid);

struct Account {
  uid_t uid;
  gid_t gid;
};
// An ordinary user to run clients as: "nobody".
std::optional<Account> ordinary_user();

struct Outcome {
  int status = -1;  // exit status; -1 when it did not end by the deadline or died of a signal
  std::string output;
};

// Runs `argv` with the test's environment changed by `environment`: "NAME=value"
// sets, "NAME" unsets. Its standard output is collected; stderr is the test's.
Outcome run_command(const std::vector<std::string>& argv,
                    const std::vector<std::string>& environment = {},
                    std::chrono::milliseconds limit = 60s);

// Runs `body` in a forked process as `account` (no supplementary groups, in
// /), after `prepare` has run there as root (to move itself into a group);
// `body`'s return value is the exit status, what it writes to stdout the output.
Outcome run_as(const Account& account, const std::function<int()>& body,
               const std::function<bool()>& prepare = {}, std::chrono::milliseconds limit = 60s);

// `argv` run where /run/systemd/system exists, as on a machine booted with
// systemd: systemd-run refuses the system manager otherwise. A private mount
// namespace with /run on a tmpfs, so nothing else on the machine sees it;
// `system_bus` (a unix:path= address), if given, is the system bus there.
std::vector<std::string> as_if_booted_with_systemd(const std::vector<std::string>& argv,
                                                   const std::string& system_bus = {});

}  // namespace lull::standin
