// The rules a control group carries besides its limits. Linux code only.
#include "platform/linux/group_rules.h"

#include <fcntl.h>
#include <linux/bpf.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/diagnostics.h"
#include "platform/linux/text_file.h"

namespace lull::platform {
namespace {

// The kernel numbers the kinds of program it attaches from 0 up, and answers
// a query on a control group only for the kinds it attaches to one: EINVAL
// for every other number, one it lacks or one newer than itself. So every
// number below this ceiling is asked, and a kind added after this was built
// is asked too (6.18 knows 58 kinds, 29 of them for control groups).
constexpr std::uint32_t attach_kind_ceiling = 128;
constexpr std::uint32_t no_attach_flags = 0xffffffff;

// The programs of one kind the kernel names for one group, and the flags
// they were attached with (a group's own list only); `error` is 0 or the
// errno of a refusal.
struct Programs {
  int error = 0;
  std::uint32_t flags = no_attach_flags;
  std::vector<std::uint32_t> ids;

  static Programs refused(int error) {
    Programs none;
    none.error = error;
    return none;
  }
  [[nodiscard]] bool has(std::uint32_t id) const { return std::ranges::find(ids, id) != ids.end(); }
};

// The programs of `kind` on the group open as `group`: those in effect on it
// (its own and its ancestors'), or its own list. The count comes first: only
// each group's own list is bounded (64), and what is in effect on a deep
// group may be longer. A list that grew between the two calls is asked again.
Programs programs_of(int group, std::uint32_t kind, bool effective) {
  Programs found;
  for (int tries = 0; tries < 3; ++tries) {
    bpf_attr query{};
    query.query.target_fd = static_cast<std::uint32_t>(group);
    query.query.attach_type = kind;
    query.query.query_flags = effective ? BPF_F_QUERY_EFFECTIVE : 0;
    query.query.prog_ids = reinterpret_cast<std::uintptr_t>(found.ids.data());
    query.query.prog_cnt = static_cast<std::uint32_t>(found.ids.size());
    const long answer = ::syscall(SYS_bpf, BPF_PROG_QUERY, &query, sizeof query);
    if (answer != 0 && errno != ENOSPC) return Programs::refused(errno);
    const bool complete = answer == 0 && query.query.prog_cnt <= found.ids.size();
    found.ids.resize(query.query.prog_cnt);
    found.flags = query.query.attach_flags;
    if (complete) return found;
  }
  return Programs::refused(ENOSPC);
}

// Whether this process runs in the machine's own user namespace, where the
// identity map is the whole range.
bool in_initial_user_namespace() {
  const std::string map = read_text("/proc/self/uid_map", 256);
  char* end = nullptr;
  const unsigned long inside = std::strtoul(map.c_str(), &end, 10);
  const unsigned long outside = std::strtoul(end, &end, 10);
  const unsigned long length = std::strtoul(end, &end, 10);
  return inside == 0 && outside == 0 && length == 4294967295UL;
}

// In a user namespace other than the machine's own, where the kernel tells
// nobody which programs are in effect: whether the manager that would make
// the scope attaches none. Only a process with the capability in the
// machine's own user namespace attaches programs to a group. A container's
// manager (process 1 of our pid namespace, in our user namespace) cannot,
// and what its host attached lies at or above the container's top, which
// the new scope inherits like the wrapper's group. A manager outside our
// user namespace (a service's PrivateUsers=) may have attached programs to
// the wrapper's own unit.
bool manager_attaches_nothing() {
  struct stat ours {};
  struct stat managers {};
  const bool shared = ::stat("/proc/self/ns/user", &ours) == 0 &&
                      ::stat("/proc/1/ns/user", &managers) == 0 && ours.st_ino == managers.st_ino &&
                      ours.st_dev == managers.st_dev;
  diagnose(shared ? "rules: the manager shares a user namespace of a container's own, where no "
                    "program is attached below its top"
                  : "rules: in a user namespace the manager is outside of, nothing tells which "
                    "programs are in effect");
  return shared;
}

// Whether a system-call filter is in force (Seccomp: 2): systemd's
// SystemCallFilter=@system-service, for one, lists no bpf() and kills the
// process that makes it.
bool under_syscall_filter() {
  const std::string status = read_text("/proc/self/status", 4096);
  const std::size_t line = status.find("\nSeccomp:");
  return line != std::string::npos && std::strtol(status.c_str() + line + 9, nullptr, 10) == 2;
}

// Whether the query lets its caller live: made first in a child of this
// process, which inherits its filters. Its death (SIGSYS) means the wrapper
// must never make the call. The child allocates nothing: the wrapper may
// have threads a preloaded library started.
bool query_survives(int group) {
  const pid_t child = ::fork();
  if (child == 0) {
    bpf_attr query{};
    query.query.target_fd = static_cast<std::uint32_t>(group);
    query.query.query_flags = BPF_F_QUERY_EFFECTIVE;
    ::syscall(SYS_bpf, BPF_PROG_QUERY, &query, sizeof query);
    ::_exit(0);
  }
  if (child < 0) return false;
  int status = 0;
  pid_t reaped = -1;
  while ((reaped = ::waitpid(child, &status, 0)) < 0 && errno == EINTR) {
  }
  return reaped == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The flags the program `id` of `kind` was attached with, by the lowest group
// from `folder` up to `top` (a folder above it) whose own list holds it;
// no_attach_flags when none there does (attached above what this mount shows).
std::uint32_t attach_flags_of(std::uint32_t id, std::uint32_t kind, std::string folder,
                              const std::string& top) {
  for (;;) {
    const int group = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const Programs own = group >= 0 ? programs_of(group, kind, false) : Programs::refused(EBADF);
    if (group >= 0) ::close(group);
    if (own.error == 0 && own.has(id)) return own.flags;
    if (folder.size() <= top.size() || folder.rfind('/') == std::string::npos) break;
    folder.resize(folder.rfind('/'));
  }
  return no_attach_flags;
}

// Whether the programs of `kind` in effect on `own` are in effect on a group
// made below `parent` (`top`: the mount's top). An ancestor's program
// attached with BPF_F_ALLOW_OVERRIDE stops being in effect below a group with
// programs of its own of that kind, and the manager may give the new scope
// some (IPAccounting= on by default): such a program is not counted on.
bool kind_holds_at(const Programs& mine, int parent_fd, std::uint32_t kind,
                   const std::string& parent, const std::string& top) {
  const Programs theirs = programs_of(parent_fd, kind, true);
  const auto in_effect = [&](std::uint32_t id) { return theirs.error == 0 && theirs.has(id); };
  const auto lost = std::ranges::find_if(mine.ids, [&](std::uint32_t id) {
    return !in_effect(id) || attach_flags_of(id, kind, parent, top) == BPF_F_ALLOW_OVERRIDE;
  });
  if (lost == mine.ids.end()) return true;
  diagnose(in_effect(*lost) ? "rules: program %u of kind %u is in effect at %s only until the "
                              "group below has programs of its own"
                            : "rules: program %u of kind %u is in effect on the wrapper's group, "
                              "not at %s",
           *lost, kind, parent.c_str());
  return false;
}

// Whether each program in effect on the folder `own` is in effect, for good,
// on a group made below the folder `parent`.
bool programs_hold_at(const std::string& own, const std::string& parent, const std::string& top) {
  const int own_fd = ::open(own.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const int parent_fd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  bool hold = own_fd >= 0 && parent_fd >= 0;
  if (!hold) diagnose("rules: cannot open %s or %s", own.c_str(), parent.c_str());
  if (hold && under_syscall_filter() && !query_survives(own_fd)) {
    diagnose(
        "rules: a system-call filter kills whoever asks the kernel which programs are in "
        "effect: not asked");
    hold = false;
  }
  for (std::uint32_t kind = 0; hold && kind < attach_kind_ceiling; ++kind) {
    const Programs mine = programs_of(own_fd, kind, true);
    if (mine.error == EINVAL) continue;  // no kind the kernel attaches to a group
    if (mine.error != 0) {
      diagnose(
          "rules: the kernel does not say which programs of kind %u are in effect (%s; it "
          "tells only a process with CAP_NET_ADMIN or CAP_SYS_ADMIN in the machine's own "
          "user namespace)",
          kind, std::strerror(mine.error));
      hold = false;
    } else {
      hold = kind_holds_at(mine, parent_fd, kind, parent, top);
    }
  }
  if (own_fd >= 0) ::close(own_fd);
  if (parent_fd >= 0) ::close(parent_fd);
  return hold;
}

// The folder of `group` in `hierarchy`, or of its nearest ancestor that
// exists there: a group made at `group` starts with what holds there.
std::string nearest_folder(const Hierarchy& hierarchy, std::string group) {
  std::string folder = hierarchy.folder_of(group);
  while (group.size() > 1 && ::access(folder.c_str(), F_OK) != 0) {
    group.resize(std::max<std::size_t>(group.rfind('/'), 1));
    folder = hierarchy.folder_of(group);
  }
  return folder;
}

bool unified_rules_hold_at(const Hierarchy& unified, const std::string& parent) {
  const std::string own = unified.folder_of(unified.own);
  const std::string there = nearest_folder(unified, parent);
  if (own.empty() || there.empty()) {
    diagnose("rules: the cgroup2 mount does not show the wrapper's group or %s", parent.c_str());
    return false;
  }
  if (!in_initial_user_namespace()) return manager_attaches_nothing();
  return programs_hold_at(own, there, unified.mount_point);
}

// A v1 device list holds below `parent` where the new group copies it (it
// lies in the wrapper's own group), or where both lists are allow lists and
// alike: each shows every device it lets through. A list that allows all
// ("a *:* rwm") shows none of the devices denied beside it.
bool devices_hold_at(const Hierarchy& devices, const std::string& parent) {
  const std::string own = devices.folder_of(devices.own);
  const std::string there = nearest_folder(devices, parent);
  if (!own.empty() && !there.empty() && lies_in(there, own)) return true;
  const std::string mine = read_text(own + "/devices.list");
  const bool allows_all = mine.starts_with("a *:* rwm");
  if (!own.empty() && !there.empty() && !allows_all && mine == read_text(there + "/devices.list"))
    return true;
  diagnose(allows_all ? "rules: the device list of the wrapper's group allows all but may deny "
                        "some unseen"
                      : "rules: the device list of the wrapper's group is not the one at %s",
           parent.c_str());
  return false;
}

}  // namespace

bool rules_hold_at(const std::vector<Hierarchy>& hierarchies, const std::string& parent) {
  bool unified_seen = false;
  for (const Hierarchy& hierarchy : hierarchies) {
    if (hierarchy.unified) {
      unified_seen = true;
      if (!unified_rules_hold_at(hierarchy, parent)) return false;
    } else if (hierarchy.has("devices") && !devices_hold_at(hierarchy, parent)) {
      return false;
    }
  }
  // Programs attach to cgroup2 groups whether or not this mount namespace
  // shows them. At the tree's root the wrapper has nothing a group below
  // would not inherit (and a kernel without cgroup2 attaches none);
  // anywhere else its programs cannot be seen.
  const std::string unified = unified_seen ? std::string("/") : unified_group();
  if (unified.empty() || unified == "/") return true;
  diagnose("rules: no cgroup2 mount shows the wrapper's group %s", unified.c_str());
  return false;
}

std::string outermost_oom_group(const std::vector<Hierarchy>& hierarchies) {
  const auto v2 = std::ranges::find_if(hierarchies, &Hierarchy::unified);
  if (v2 == hierarchies.end()) return {};
  // From the top this namespace shows, which is a container's own group
  // inside one (the tree's real root has no such file), down to our own.
  std::string group = "/";
  const std::vector<std::string_view> parts = path_parts(v2->own);
  for (std::size_t depth = 0; depth <= parts.size(); ++depth) {
    if (depth > 0) group.append(depth > 1 ? "/" : "").append(parts[depth - 1]);
    std::string folder = v2->folder_of(group);
    if (!folder.empty() && read_text(folder + "/memory.oom.group", 16).starts_with("1"))
      return folder;
  }
  return {};
}

}  // namespace lull::platform
