// Where the child runs in the tree of control groups. Thread classes and nice
// values stop at a control group's edge: the kernel divides the processor
// between groups by weight first. So before its first instruction the child
// goes into an idle group placed as high in the tree as the wrapper may
// reach, where every other group of the user's work is a sibling or a
// sibling's descendant, but never above a group that carries a limit: an
// administrator's limit holds for the job too. Linux code only.
#pragma once

#include <string>

#include "platform/linux/cgroups.h"
#include "platform/linux/service_manager.h"

namespace lull::platform {

// Decided by the wrapper before the fork, so that the child, between fork and
// exec, only follows the plan.
struct PlacementPlan {
  ScopeRequest scope;              // first: a transient scope from the manager
  std::string idle_group;          // then: our own shared idle group ("" when none)
  bool unified = false;            // the idle group's tree is cgroup v2
  bool managed = false;            // a service manager owns the tree the wrapper runs in
  bool in_root_cpu_group = false;  // the wrapper competes in the root cpu group
  bool session_groups = false;     // the kernel groups processes by session (autogroup)
  bool single_threaded = true;     // the child may allocate and load a library
  bool debug = false;              // the child writes its fixed debug lines
  // Memory: the folder of the outermost cgroup v2 group on the wrapper's path
  // that the kernel kills whole ("" when none); the folder the scope goes
  // into; the wrapper's own.
  std::string oom_group, scope_parent, own_group;
  std::string leaf_name;           // the job's own group in the unified tree ("" when none)
  std::string leaf_parent;         // where it goes beside the shared idle group
  Hierarchy unified_tree;          // the unified tree, where the leaf is (no mount point: none)
};

// How the child was placed in the end.
enum class Route : int {
  unknown = 0,
  manager = 1,        // in a transient scope of the service manager
  own_tree = 2,       // in the shared idle group the wrappers keep themselves
  session_group = 3,  // left where it was
};

// What the child tells the wrapper of its placement.
struct Placement {
  Route route = Route::unknown;
  bool session_group_refused = false;  // the kernel's rate limit refused nice 19: follow up
  bool in_leaf = false;                // the job is alone in its leaf, which may be paused
};

// Reads the machine's state (who we are, who owns our branch of the tree,
// where the cpu controller is, which groups carry limits) and chooses the
// routes the child may take.
PlacementPlan plan_placement();

// In the child, between fork and exec, before it turns idle: takes the first
// route that works. The child leads a session of its own by then.
Placement place_self(const PlacementPlan& plan);

// In the wrapper, once its child has ended and its leaf is gone: removes the
// shared idle group unless another job still uses it (the kernel refuses
// then), so a group left by a killed wrapper goes with the next run.
void release(const PlacementPlan& plan);

}  // namespace lull::platform
