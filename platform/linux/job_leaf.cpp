// The job's leaf in the unified tree: what the wrapper plans before the fork
// and what the child does with it before exec. Linux code only.
#include "platform/linux/job_leaf.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "platform/diagnostics.h"
#include "platform/linux/placement.h"
#include "platform/linux/text_file.h"

namespace lull::platform {
namespace {

constexpr int enter_attempts = 8;

// May a group be made in `folder` and a process moved from the wrapper's own
// group into one below it: as delegation asks of the common ancestor.
bool may_write(const std::string& folder) {
  return ::access(folder.c_str(), W_OK) == 0 &&
         ::access((folder + "/cgroup.procs").c_str(), W_OK) == 0;
}

// Where the shared idle group is in a v1 cpu tree, the job's leaf goes in the
// unified tree at the highest level of the wrapper's branch that it may
// write, and below every group there that carries a limit.
std::string unified_leaf_parent(const std::vector<Hierarchy>& hierarchies) {
  const auto v2 = std::ranges::find_if(hierarchies, &Hierarchy::unified);
  if (v2 == hierarchies.end() || v2->relative.empty()) return {};
  // A hybrid tree's unified hierarchy mostly has no controller, and then no limit.
  const std::string controllers = read_text(v2->mount_point + "/cgroup.controllers", 256);
  const std::vector<std::string> limited = controllers.find_first_not_of(" \n") != std::string::npos
                                               ? limited_groups(*v2)
                                               : std::vector<std::string>();
  const std::size_t lowest_top = limited.empty() ? 0 : limited.back().size();
  std::string group;
  const std::vector<std::string_view> parts = path_parts(v2->own);
  for (std::size_t depth = 0; depth <= parts.size(); ++depth) {
    if (depth > 0) group.append("/").append(parts[depth - 1]);
    const std::string folder = v2->folder_of(group.empty() ? "/" : group);
    if (!folder.empty() && group.size() >= lowest_top && may_write(folder))
      return folder + "/" + own_tree_parent;
  }
  return {};
}

// The manager's scope in the unified tree, once the child is in it: the
// scope's name carries the child's process id. "" when the child's unified
// group is no such scope (a manager without the unified tree).
std::string own_scope_folder() {
  const std::vector<Hierarchy> hierarchies = own_hierarchies();
  const auto v2 = std::ranges::find_if(hierarchies, &Hierarchy::unified);
  if (v2 == hierarchies.end()) return {};
  const std::vector<std::string_view> parts = path_parts(v2->own);
  std::string pid_part = std::to_string(::getpid());  // "-PID-" (GCC 12 warns on "-" + string)
  pid_part.insert(pid_part.begin(), '-');
  pid_part.push_back('-');
  if (parts.empty() || !parts.back().ends_with(".scope") ||
      parts.back().find(pid_part) == std::string_view::npos)
    return {};
  return v2->folder_of(v2->own);
}

// Makes the leaf (and its parent, where that is ours to make) and moves the
// calling process in. Another wrapper removes an empty shared parent when
// its own job ends: then it is made again, a bounded number of times.
bool move_into(const std::string& parent, const std::string& name, bool make_parent) {
  const std::string leaf = parent + "/" + name;
  for (int attempt = 0; attempt < enter_attempts; ++attempt) {
    if (make_parent && ::mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST) return false;
    if (::mkdir(leaf.c_str(), 0755) != 0 && errno != EEXIST) {
      if (errno == ENOENT) continue;
      return false;
    }
    const int error = write_small_file((leaf + "/cgroup.procs").c_str(), "0");
    if (error == 0) return true;
    if (error != ENOENT && error != ENODEV) break;
  }
  ::rmdir(leaf.c_str());
  return false;
}

}  // namespace

std::string stat_field(pid_t pid, int index) {
  const std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat", 1024);
  std::size_t at = stat.rfind(')');
  if (at == std::string::npos) return {};
  for (int field = -1; field < index; ++field) {
    at = stat.find(' ', at + 1);
    if (at == std::string::npos) return {};
  }
  const std::size_t end = stat.find(' ', at + 1);
  return stat.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
}

std::string start_time_of(pid_t pid) { return stat_field(pid, 19); }

void plan_job_leaf(const std::vector<Hierarchy>& hierarchies, PlacementPlan& plan) {
  const std::string started = start_time_of(::getpid());
  if (started.empty()) return;
  plan.leaf_name = job_leaf_prefix + std::to_string(::getpid()) + "-" + started;
  const auto v2 = std::ranges::find_if(hierarchies, &Hierarchy::unified);
  if (v2 != hierarchies.end()) plan.unified_tree = *v2;
  if (!plan.idle_group.empty())
    plan.leaf_parent = plan.unified ? plan.idle_group : unified_leaf_parent(hierarchies);
}

bool enter_job_leaf(const PlacementPlan& plan, Route route) {
  if (plan.leaf_name.empty() || route == Route::session_group) return false;
  const bool own_tree = route == Route::own_tree;
  const std::string parent = own_tree ? plan.leaf_parent : own_scope_folder();
  const bool entered = !parent.empty() && move_into(parent, plan.leaf_name, own_tree);
  diagnose("leaf: %s%s%s", entered ? "the job is in " : "none: ",
           entered ? parent.c_str()
           : parent.empty()
               ? (own_tree ? "no unified tree to write" : "the scope is not in the unified tree")
               : "refused in ",
           entered || parent.empty() ? "" : parent.c_str());
  return entered;
}

}  // namespace lull::platform
