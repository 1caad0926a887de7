// Reading the control-group trees the wrapper runs in. Linux code only.
#include "platform/linux/cgroups.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "platform/linux/text_file.h"

namespace lull::platform {
namespace {

bool all_words_in(std::string_view words, std::string_view list);

// mountinfo writes blanks and a few other characters in paths as \NNN.
std::string unescaped(std::string_view text) {
  const auto octal = [](char c) { return c >= '0' && c <= '7'; };
  std::string plain;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() && octal(text[i + 1]) && octal(text[i + 2]) &&
        octal(text[i + 3])) {
      plain.push_back(static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 +
                                        (text[i + 3] - '0')));
      i += 3;
    } else {
      plain.push_back(text[i]);
    }
  }
  return plain;
}

// The `index`th field of `text` separated by blanks, or "".
std::string_view field_of(std::string_view text, int index) {
  std::size_t begin = 0;
  for (int i = 0;; ++i) {
    begin = text.find_first_not_of(' ', begin);
    if (begin == std::string_view::npos) return {};
    const std::size_t end = std::min(text.find(' ', begin), text.size());
    if (i == index) return text.substr(begin, end - begin);
    begin = end;
  }
}

// `path` below `root`, both as the kernel writes them, with a "/" boundary:
// "/a/b" below "/a" is "/b", below "/" itself; "" when it does not lie there.
// A path that climbs out of the namespace's view ("/..") lies nowhere.
std::string below(std::string_view path, std::string_view root) {
  if (path.empty() || path.front() != '/' || path.starts_with("/..")) return {};
  if (root == "/") return std::string(path);
  if (path == root) return "/";
  if (path.starts_with(root) && path[root.size()] == '/')
    return std::string(path.substr(root.size()));
  return {};
}

// A control file's text without its line end; "" when it is missing.
std::string value_of(const std::string& path) {
  std::string text = read_text(path, 4096);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

bool set_and_not_max(const std::string& path) {
  const std::string value = value_of(path);
  return !value.empty() && value != "max";
}

// v1 memory limits read as a huge number when none is set.
bool below_unlimited(const std::string& path) {
  const std::string value = value_of(path);
  return !value.empty() && std::strtoull(value.c_str(), nullptr, 10) < (1ULL << 62);
}

// systemd gives units a task limit of its own by default: DefaultTasksMax,
// 15 % of the tasks the system allows, to services and scopes (never to a
// slice, where that value is an administrator's), and 33 % on each user's
// slice from a drop-in of logind's. That is no administrator's limit: the
// job's own scope gets the same default. systemd's rule, copied exactly: the fewest of
// threads-max, pid_max - 1 (ids stop below it) and the root group's pids.max
// (there only inside a cgroup namespace), scaled and rounded down. An
// administrator's own value equal to the default cannot be told from it.
std::uint64_t system_tasks(const std::string& pids_root) {
  std::uint64_t tasks = 4194303;  // the kernel's own ceiling
  const auto fewer = [&](const std::string& file, std::uint64_t less) {
    const std::string text = value_of(file);
    const std::uint64_t most = std::strtoull(text.c_str(), nullptr, 10);
    if (!text.empty() && text != "max" && most > less) tasks = std::min(tasks, most - less);
  };
  fewer("/proc/sys/kernel/threads-max", 0);
  fewer("/proc/sys/kernel/pid_max", 1);
  if (!pids_root.empty()) fewer(pids_root + "/pids.max", 0);
  return tasks;
}

bool systemd_default_tasks(std::uint64_t value, std::string_view group, const std::string& root) {
  if (!group.ends_with(".slice")) return value == system_tasks(root) * 15 / 100;
  return group.starts_with("user-") && value == system_tasks(root) * 33 / 100;
}

// `folder`'s pids.max, where it is an administrator's; `root` is the
// hierarchy's root folder.
bool tasks_limited(const std::string& folder, const std::string& root) {
  const std::string value = value_of(folder + "/pids.max");
  const std::string_view name = std::string_view(folder).substr(folder.rfind('/') + 1);
  return !value.empty() && value != "max" &&
         !systemd_default_tasks(std::strtoull(value.c_str(), nullptr, 10), name, root);
}

bool v2_limited(const std::string& folder, const std::string& top) {
  for (const char* file : {"/memory.max", "/memory.high", "/memory.swap.max"})
    if (set_and_not_max(folder + file)) return true;
  if (tasks_limited(folder, top)) return true;
  const std::string quota = value_of(folder + "/cpu.max");  // "max 100000": no quota
  if (!quota.empty() && field_of(quota, 0) != "max") return true;
  const auto set = [&](const char* file) { return !value_of(folder + file).empty(); };
  return set("/cpuset.cpus") || set("/cpuset.mems") || set("/io.max");
}

bool v1_limited(const Hierarchy& hierarchy, const std::string& folder, const std::string& top) {
  if (hierarchy.has("memory") && (below_unlimited(folder + "/memory.limit_in_bytes") ||
                                  below_unlimited(folder + "/memory.memsw.limit_in_bytes")))
    return true;
  if (hierarchy.has("pids") && tasks_limited(folder, top)) return true;
  if (hierarchy.has("cpu")) {
    const std::string quota = value_of(folder + "/cpu.cfs_quota_us");
    if (!quota.empty() && quota != "-1") return true;
  }
  if (hierarchy.has("cpuset") && !top.empty()) {
    for (const char* file : {"/cpuset.cpus", "/cpuset.mems"})
      if (value_of(folder + file) != value_of(top + file)) return true;
  }
  if (hierarchy.has("blkio")) {
    for (const char* file :
         {"/blkio.throttle.read_bps_device", "/blkio.throttle.write_bps_device",
          "/blkio.throttle.read_iops_device", "/blkio.throttle.write_iops_device"})
      if (!value_of(folder + file).empty()) return true;
  }
  return false;
}

// Whether every word of the list `words` is in the list `list`.
bool all_words_in(std::string_view words, std::string_view list) {
  for (std::size_t begin = 0; begin <= words.size();) {
    std::size_t end = words.find(',', begin);
    if (end == std::string_view::npos) end = words.size();
    if (!holds_word(list, words.substr(begin, end - begin), ',')) return false;
    begin = end + 1;
  }
  return true;
}

// Where the wrapper is in each hierarchy, from "ID:controllers:path" lines:
// the controllers ("" for cgroup2) and the path.
// The groups of a process (0: the wrapper itself), from /proc/PID/cgroup:
// each hierarchy's controllers ("" for cgroup2) and the group's path.
std::vector<std::pair<std::string, std::string>> memberships(pid_t pid = 0) {
  std::vector<std::pair<std::string, std::string>> found;
  const std::string file =
      pid == 0 ? std::string("/proc/self/cgroup") : "/proc/" + std::to_string(pid) + "/cgroup";
  for_each_line(read_text(file), [&](std::string_view line) {
    const std::size_t first = line.find(':');
    const std::size_t second = line.find(':', first + 1);
    if (first == std::string_view::npos || second == std::string_view::npos) return;
    found.emplace_back(line.substr(first + 1, second - first - 1), line.substr(second + 1));
  });
  return found;
}

}  // namespace

bool holds_word(std::string_view list, std::string_view word, char separator) {
  for (std::size_t begin = 0; begin <= list.size();) {
    std::size_t end = list.find(separator, begin);
    if (end == std::string_view::npos) end = list.size();
    if (list.substr(begin, end - begin) == word) return true;
    begin = end + 1;
  }
  return false;
}

bool lies_in(std::string_view path, std::string_view outer) {
  if (outer.empty()) return false;
  if (outer == "/") return path.starts_with('/');
  return path.starts_with(outer) && (path.size() == outer.size() || path[outer.size()] == '/');
}

std::vector<std::string_view> path_parts(std::string_view path) {
  std::vector<std::string_view> parts;
  for (std::size_t begin = 0; begin < path.size();) {
    std::size_t end = path.find('/', begin);
    if (end == std::string_view::npos) end = path.size();
    if (end > begin) parts.push_back(path.substr(begin, end - begin));
    begin = end + 1;
  }
  return parts;
}

bool Hierarchy::has(std::string_view controller) const {
  return unified || holds_word(controllers, controller, ',');
}

std::string Hierarchy::folder_of(std::string_view group) const {
  if (relative.empty()) return {};
  // The mount's root is what `own` keeps beyond `relative`.
  const std::string_view root = relative == "/"
                                    ? std::string_view(own)
                                    : std::string_view(own).substr(0, own.size() - relative.size());
  const std::string inside = below(group, root.empty() ? "/" : root);
  if (inside.empty()) return {};
  return inside == "/" ? mount_point : mount_point + inside;
}

std::string unified_group(pid_t pid) {
  for (const auto& [controllers, path] : memberships(pid))
    if (controllers.empty()) return path;
  return {};
}

std::vector<Hierarchy> own_hierarchies() {
  const std::vector<std::pair<std::string, std::string>> groups = memberships();
  std::vector<Hierarchy> found;
  // id parent major:minor root mount-point options [optional...] - type source super-options
  for_each_line(read_text("/proc/self/mountinfo"), [&](std::string_view line) {
    const std::size_t dash = line.find(" - ");
    if (dash == std::string_view::npos) return;
    const std::string_view after = line.substr(dash + 3);
    const std::string_view type = field_of(after, 0);
    if (type != "cgroup" && type != "cgroup2") return;
    Hierarchy hierarchy;
    hierarchy.unified = type == "cgroup2";
    hierarchy.controllers = hierarchy.unified ? "" : std::string(field_of(after, 2));
    hierarchy.mount_point = unescaped(field_of(line.substr(0, dash), 4));
    const std::string root = unescaped(field_of(line.substr(0, dash), 3));
    for (const auto& [controllers, path] : groups) {
      const bool matches = hierarchy.unified ? controllers.empty()
                                             : !controllers.empty() &&
                                                   all_words_in(controllers, hierarchy.controllers);
      if (!matches) continue;
      hierarchy.own = path;
      hierarchy.relative = below(path, root);
    }
    if (hierarchy.own.empty()) return;
    // The same hierarchy mounted twice: the first mount that shows our group.
    const auto same = std::ranges::find_if(found, [&](const Hierarchy& other) {
      return other.unified == hierarchy.unified && other.controllers == hierarchy.controllers;
    });
    if (same == found.end()) {
      found.push_back(hierarchy);
    } else if (same->relative.empty()) {
      *same = hierarchy;
    }
  });
  return found;
}

bool find_cpu_hierarchy(const std::vector<Hierarchy>& hierarchies, Hierarchy& found) {
  const auto v1 = std::ranges::find_if(
      hierarchies, [](const Hierarchy& h) { return !h.unified && h.has("cpu"); });
  const auto v2 = std::ranges::find_if(hierarchies, &Hierarchy::unified);
  if (v1 == hierarchies.end() && v2 == hierarchies.end()) return false;
  found = v1 != hierarchies.end() ? *v1 : *v2;
  return true;
}

std::string unit_path(const std::vector<Hierarchy>& hierarchies) {
  const auto named = std::ranges::find_if(
      hierarchies, [](const Hierarchy& h) { return !h.unified && h.has("name=systemd"); });
  if (named != hierarchies.end()) return named->own;
  const auto v2 = std::ranges::find_if(hierarchies, &Hierarchy::unified);
  return v2 != hierarchies.end() ? v2->own : std::string();
}

bool cpu_on_for_children(const std::string& folder, bool unified) {
  if (!unified) return true;
  return holds_word(value_of(folder + "/cgroup.subtree_control"), "cpu", ' ');
}

bool in_root_cpu_group(const std::vector<Hierarchy>& hierarchies) {
  Hierarchy cpu;
  if (!find_cpu_hierarchy(hierarchies, cpu)) return true;  // no cpu groups at all
  if (cpu.own == "/") return true;
  if (!cpu.unified) return false;
  // On v2 a group has a cpu share of its own only where its parent hands the
  // controller down; where the root does not, every process shares the root's.
  const std::string top = cpu.folder_of("/");
  return !top.empty() && !cpu_on_for_children(top, true);
}

std::vector<std::string> limited_groups(const Hierarchy& hierarchy) {
  std::vector<std::string> limited;
  const std::string top = hierarchy.folder_of("/");
  std::string group;
  for (const std::string_view part : path_parts(hierarchy.own)) {
    group.append("/").append(part);
    const std::string folder = hierarchy.folder_of(group);
    if (folder.empty()) continue;
    if (hierarchy.unified ? v2_limited(folder, top) : v1_limited(hierarchy, folder, top))
      limited.push_back(group);
  }
  return limited;
}

}  // namespace lull::platform
