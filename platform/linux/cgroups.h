// The control-group trees the wrapper runs in, as the kernel shows them: each
// mounted hierarchy, the wrapper's own group in it, and the limits an
// administrator put on the groups along that path. Read from
// /proc/self/mountinfo, /proc/self/cgroup and the groups' own files. Linux only.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace lull::platform {

// One mounted hierarchy and the wrapper's place in it.
struct Hierarchy {
  std::string mount_point;
  std::string controllers;  // v1: the mount's options ("rw,cpu,cpuacct"); v2: ""
  bool unified = false;     // cgroup v2
  std::string own;          // the wrapper's group as /proc/self/cgroup names it ("/a/b.scope")
  std::string relative;     // the same below the mount's root; "" when the mount does not show it

  [[nodiscard]] bool has(std::string_view controller) const;
  // The folder of `group` (a prefix of `own`), or "" when the mount does not show it.
  [[nodiscard]] std::string folder_of(std::string_view group) const;
};

// Every hierarchy that is mounted and holds the wrapper's group; the first
// mount of each.
std::vector<Hierarchy> own_hierarchies();

// The cgroup2 group of a process (0: the wrapper's own) as /proc/PID/cgroup
// names it ("0::/a/b"), mounted in this namespace or not; "" when the kernel
// has no cgroup2 or the process has gone.
std::string unified_group(pid_t pid = 0);

// The hierarchy that carries the cpu controller: a v1 mount with "cpu", else
// the v2 tree. False when there is none.
bool find_cpu_hierarchy(const std::vector<Hierarchy>& hierarchies, Hierarchy& found);

// The path the service manager keeps the wrapper's unit at: the name=systemd
// line on a v1 or hybrid tree, else the v2 line; "" when neither is there.
std::string unit_path(const std::vector<Hierarchy>& hierarchies);

// Whether the cpu controller divides the processor among `folder`'s children.
bool cpu_on_for_children(const std::string& folder, bool unified);

// Whether the wrapper's processes compete in the root cpu group, where the
// kernel's session groups (autogroup) take effect.
bool in_root_cpu_group(const std::vector<Hierarchy>& hierarchies);

// The groups on the wrapper's own path, below the hierarchy's root, that
// carry a limit: memory, tasks, processor quota, cpusets, I/O throttles.
// Outermost first, each as /proc/self/cgroup names it.
std::vector<std::string> limited_groups(const Hierarchy& hierarchy);

// The parts of a group's path ("/a/b" gives "a", "b").
std::vector<std::string_view> path_parts(std::string_view path);

// Whether the path `path` is `outer` or lies below it, with a "/" boundary;
// "/" holds every path, "" none.
bool lies_in(std::string_view path, std::string_view outer);

// Whether `list` holds `word` between separators.
bool holds_word(std::string_view list, std::string_view word, char separator);

}  // namespace lull::platform
