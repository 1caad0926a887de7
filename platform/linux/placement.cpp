// Choosing where the child runs, and taking the first route that works.
// Linux code only.
#include "platform/linux/placement.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "platform/diagnostics.h"
#include "platform/linux/cgroups.h"
#include "platform/linux/cpu_tree.h"
#include "platform/linux/group_rules.h"
#include "platform/linux/job_leaf.h"
#include "platform/linux/session_group.h"
#include "platform/linux/text_file.h"

namespace lull::platform {
namespace {

using Manager = ScopeRequest::Manager;

// The user's own manager keeps its units below user@UID.service. The number
// of parts of the path up to that unit, and the path it was found in (the
// manager's own hierarchy first); 0 when the wrapper does not run under it.
std::size_t user_manager_depth(const std::vector<Hierarchy>& hierarchies, uid_t uid,
                               std::string& path) {
  const std::string unit = "user@" + std::to_string(uid) + ".service";
  std::vector<std::string> candidates{unit_path(hierarchies)};
  for (const Hierarchy& hierarchy : hierarchies) candidates.push_back(hierarchy.own);
  for (const std::string& candidate : candidates) {
    const std::vector<std::string_view> parts = path_parts(candidate);
    const auto found = std::ranges::find(parts, unit);
    if (found == parts.end()) continue;
    path = candidate;
    return static_cast<std::size_t>(found - parts.begin()) + 1;
  }
  return 0;
}

// Between fork and exec the child may allocate and load a library only while
// it is the copy of a single-threaded process: another thread may have held
// the heap's lock at the fork. A sanitizer's runtime or a preloaded library
// can add threads behind the wrapper's back.
bool single_threaded() {
  DIR* tasks = ::opendir("/proc/self/task");
  if (tasks == nullptr) return false;
  int threads = 0;
  while (const dirent* entry = ::readdir(tasks)) threads += entry->d_name[0] != '.' ? 1 : 0;
  ::closedir(tasks);
  return threads == 1;
}

bool session_groups_on() {
  return read_text("/proc/sys/kernel/sched_autogroup_enabled", 16).starts_with("1");
}

// Fits the scope to the limits on the wrapper's branch: the scope goes into
// the lowest slice at or below every group with a limit, so the limit still
// holds for the whole unit. A limit on the wrapper's own unit (or one we
// cannot place on its path) keeps the job in that unit: false. `path` is the
// wrapper's unit path; the manager's units begin below its first `top` parts.
bool fit_to_limits(const std::vector<Hierarchy>& hierarchies, const std::string& path,
                   std::size_t top, PlacementPlan& plan) {
  const std::vector<std::string_view> parts = path_parts(path);
  std::size_t unit_at = top;  // the wrapper's own unit: the first part that is no slice
  while (unit_at < parts.size() && parts[unit_at].ends_with(".slice")) ++unit_at;
  std::size_t slice_depth = top;
  for (const Hierarchy& hierarchy : hierarchies) {
    for (const std::string& group : limited_groups(hierarchy)) {
      const std::vector<std::string_view> limited = path_parts(group);
      const bool on_path = limited.size() <= parts.size() &&
                           std::equal(limited.begin(), limited.end(), parts.begin());
      if (on_path && limited.size() <= top) continue;  // above the manager's tree: it holds
      if (!on_path || limited.size() > unit_at) {
        diagnose("limits: %s carries a limit %s: the job stays in the wrapper's unit",
                 group.c_str(), on_path ? "on the wrapper's own unit" : "off the unit's path");
        return false;
      }
      diagnose("limits: %s carries a limit: the scope goes below it", group.c_str());
      slice_depth = std::max(slice_depth, limited.size());
    }
  }
  // The slice's path: the wrapper's, up to the end of the slice's part.
  const std::string parent =
      slice_depth == 0
          ? "/"
          : path.substr(0, static_cast<std::size_t>(parts[slice_depth - 1].data() - path.data()) +
                               parts[slice_depth - 1].size());
  if (slice_depth > top) plan.scope.slice = parts[slice_depth - 1];
  const auto v2 = std::ranges::find_if(hierarchies, &Hierarchy::unified);
  if (v2 != hierarchies.end()) plan.scope_parent = v2->folder_of(parent);
  // The rules the system manager enforces through the unit's group. An
  // ordinary user may not ask the kernel for them, and the user's own manager
  // sets none: what the system set on user@UID.service holds for every scope
  // below it.
  if (plan.scope.manager == Manager::system && !rules_hold_at(hierarchies, parent)) {
    diagnose("rules: what holds for the wrapper's unit would not hold in %s: the job stays",
             parent.c_str());
    return false;
  }
  return true;
}

// Where a kill of the job takes nothing but the job, the kernel takes it
// first when memory runs short: every process it starts inherits the score.
// Not where it shares a unit of the service manager, which stops the whole
// unit (a login's scope, a service) when the kernel kills one of its
// processes for memory, nor inside a group the kernel kills whole (a
// container's, where its runtime asks for that).
void give_way_on_memory(const PlacementPlan& plan, Route route) {
  if (route == Route::session_group && plan.managed) return;
  const std::string& job_group = route == Route::manager    ? plan.scope_parent
                                 : route == Route::own_tree ? plan.idle_group
                                                            : plan.own_group;
  if (lies_in(job_group, plan.oom_group)) {
    diagnose_fixed(plan.debug, "memory: a kill would take a whole group: oom_score_adj left");
    return;
  }
  const int error = write_small_file("/proc/self/oom_score_adj", "1000");
  diagnose_fixed(plan.debug, error == 0 ? "memory: oom_score_adj 1000 set"
                                        : "memory: oom_score_adj 1000 refused");
}

const char* manager_name(Manager manager) {
  return manager == Manager::system ? "system" : manager == Manager::user ? "user" : "none";
}

}  // namespace

PlacementPlan plan_placement() {
  PlacementPlan plan;
  plan.single_threaded = single_threaded();
  plan.debug = diagnostics_wanted();
  const std::vector<Hierarchy> hierarchies = own_hierarchies();
  const bool root = ::geteuid() == 0;
  // As systemd's own tools tell whether systemd booted the machine.
  const bool booted = ::access("/run/systemd/system", F_OK) == 0;
  std::string path;
  std::size_t top = 0;
  // a. The manager that owns our branch of the tree: the system manager for
  //    root; for anyone else the user's own manager, but only when we run
  //    under it. A login outside it (ssh, a console) stays where it is:
  //    handing the job to the user's manager would put it beside the session
  //    rather than inside it, and end it when that manager stops at logout.
  if (root && booted) {
    plan.scope.manager = Manager::system;
    path = unit_path(hierarchies);
  } else if (!root) {
    top = user_manager_depth(hierarchies, ::getuid(), path);
    plan.scope.user_bus = top > 0 ? user_bus_address() : std::string();
    if (!plan.scope.user_bus.empty()) plan.scope.manager = Manager::user;
  }
  plan.managed = booted || top > 0;
  if (plan.scope.manager != Manager::none) {
    plan.scope.program_name = program_invocation_short_name;
    plan.scope.own_group = path;
    if (!fit_to_limits(hierarchies, path, top, plan)) plan.scope = {};
  }
  // b. Our own idle group, only in a tree that no service manager owns.
  if (!plan.managed) plan.idle_group = choose_idle_group(hierarchies, plan.unified);
  plan_job_leaf(hierarchies, plan);
  // c. Otherwise the child stays; its session group counts in the root cpu group.
  plan.in_root_cpu_group = in_root_cpu_group(hierarchies);
  plan.session_groups = session_groups_on();
  plan.oom_group = outermost_oom_group(hierarchies);
  const auto v2 = std::ranges::find_if(hierarchies, &Hierarchy::unified);
  if (v2 != hierarchies.end()) plan.own_group = v2->folder_of(v2->own);
  diagnose(
      "plan: manager %s (slice %s), own idle group %s, root cpu group %s, session "
      "groups %s%s%s%s",
      manager_name(plan.scope.manager), plan.scope.slice.c_str(),
      plan.idle_group.empty() ? "none" : plan.idle_group.c_str(),
      plan.in_root_cpu_group ? "yes" : "no", plan.session_groups ? "on" : "off",
      plan.oom_group.empty() ? "" : ", killed whole for memory: ", plan.oom_group.c_str(),
      plan.single_threaded ? "" : "; more than one thread: the child only sets its classes");
  return plan;
}

Placement place_self(const PlacementPlan& plan) {
  Placement placed{Route::session_group, false};
  if (plan.single_threaded) {
    if (place_in_scope(plan.scope)) {
      placed.route = Route::manager;
    } else if (!plan.idle_group.empty() && join_idle_group(plan.idle_group, plan.unified)) {
      placed.route = Route::own_tree;
    }
  }
  diagnose_fixed(plan.debug, placed.route == Route::manager    ? "placed: in the manager's scope"
                             : placed.route == Route::own_tree ? "placed: in the shared idle group"
                                                               : "placed: where the wrapper runs");
  placed.in_leaf = enter_job_leaf(plan, placed.route);
  // A finished job is not yet an idle one: a manager that cannot apply the
  // weight (a user's manager on a v1 tree has no cpu controller) leaves the
  // child in the root cpu group, where only its session group can lower it.
  // Elsewhere the kernel ignores the session group, and a write would only
  // take the kernel's one slot per 100 ms from other wrappers.
  const bool in_root = placed.route == Route::manager
                           ? in_root_cpu_group(own_hierarchies())
                           : placed.route == Route::session_group && plan.in_root_cpu_group;
  if (plan.session_groups && in_root) {
    const int error = lower_own_session_group();
    placed.session_group_refused = error == EAGAIN;
    diagnose_fixed(plan.debug, error == 0        ? "session group: nice 19 set"
                               : error == EAGAIN ? "session group: nice 19 refused for now"
                                                 : "session group: nice 19 refused");
  }
  give_way_on_memory(plan, placed.route);
  return placed;
}

void release(const PlacementPlan& plan) {
  remove_idle_group(plan.leaf_parent);
  remove_idle_group(plan.idle_group);
}

}  // namespace lull::platform
