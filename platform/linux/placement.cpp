// Choosing where the child runs, and taking the first route that works.
// Linux code only.
#include "platform/linux/placement.h"

#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/linux/cpu_tree.h"
#include "platform/linux/service_manager.h"
#include "platform/linux/session_group.h"
#include "platform/linux/text_file.h"

namespace lull::platform {
namespace {

// Whether the wrapper runs under the user's own service manager: its group
// lies inside user@UID.service.
bool under_user_manager(uid_t uid) {
  const std::string unit = "/user@" + std::to_string(uid) + ".service";
  bool found = false;
  for_each_line(read_text("/proc/self/cgroup"), [&](std::string_view line) {
    for (std::size_t at = line.find(unit); at != std::string_view::npos;
         at = line.find(unit, at + 1)) {
      const std::size_t end = at + unit.size();
      found = found || end == line.size() || line[end] == '/';
    }
  });
  return found;
}

}  // namespace

PlacementPlan plan_placement() {
  PlacementPlan plan;
  plan.program_name = program_invocation_short_name;
  const bool root = ::geteuid() == 0;
  const bool user_managed = !root && under_user_manager(::getuid());
  // a. The manager that owns our branch of the tree: the system manager for
  //    root; for anyone else the user's own manager, but only when we run
  //    under it. A login outside it (ssh, a console) stays where it is:
  //    handing the job to the user's manager would put it beside the session
  //    rather than inside it, and end it when that manager stops at logout.
  if (root && manager_bus_present(ManagerBus::system)) {
    plan.bus = ManagerBus::system;
  } else if (user_managed && manager_bus_present(ManagerBus::user)) {
    plan.bus = ManagerBus::user;
  }
  // b. Our own idle group, only in a tree that no service manager owns.
  const bool managed = user_managed || ::access("/run/systemd/system", F_OK) == 0;
  if (!managed) plan.idle_group = choose_idle_group(plan.unified);
  // c. Otherwise the child's session group, which needs no plan.
  return plan;
}

Route place_self(const PlacementPlan& plan) {
  if (plan.bus != ManagerBus::none && place_in_scope(plan.bus, plan.program_name))
    return Route::manager;
  if (!plan.idle_group.empty() && join_idle_group(plan.idle_group, plan.unified))
    return Route::own_tree;
  lower_own_session_group();
  return Route::session_group;
}

void release(const PlacementPlan& plan) { remove_idle_group(plan.idle_group); }

}  // namespace lull::platform
