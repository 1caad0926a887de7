// The job's leaf: a group of the unified (cgroup v2) tree that holds one job
// and nothing else, so that the job, and only it, can be frozen. Its name
// marks it as a job's leaf and names the wrapper that made it, so that other
// wrappers leave it out of what they watch, and a later wrapper can tell
// whether its maker is still alive. Here: what the wrapper plans before the
// fork, and what the child does before exec. Linux code only.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/linux/cgroups.h"

namespace lull::platform {

struct PlacementPlan;
enum class Route : int;

// What every job leaf's name begins with.
inline constexpr const char* job_leaf_prefix = "lullrun-job-";
// The shared group the wrapper makes for job leaves outside a manager's scope.
inline constexpr const char* own_tree_parent = "lullrun-idle";

// In the wrapper, before the fork: the name of its job's leaf (the prefix,
// the wrapper's process id and its start time, which a reused id does not
// share), and for the shared idle group the leaf's parent in the unified tree.
void plan_job_leaf(const std::vector<Hierarchy>& hierarchies, PlacementPlan& plan);

// In the child, once placed by `route`: makes the leaf and moves itself in.
// The manager's scope is the manager's own, but with Delegate=yes the groups
// below it are ours. False when there is no leaf to be had.
bool enter_job_leaf(const PlacementPlan& plan, Route route);

// Field `index` of /proc/PID/stat counted after the command's closing
// parenthesis (0 is the state); the command itself may hold blanks and
// parentheses. "" when the process is gone.
std::string stat_field(pid_t pid, int index);

// The start time of process `pid`, in clock ticks since boot.
std::string start_time_of(pid_t pid);

}  // namespace lull::platform
