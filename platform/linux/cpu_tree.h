// The wrappers' own idle group, for trees that no service manager owns: root
// on a machine without one, or a subtree delegated to the user. Linux only.
#pragma once

#include <string>
#include <vector>

#include "platform/linux/cgroups.h"

namespace lull::platform {

// The shared idle group at the highest level of the wrapper's own branch
// that it may write, where the cpu controller is on for children, and that
// lies below every group on the branch that carries a limit; "" when there is
// none. `unified` tells whether that tree is cgroup v2.
std::string choose_idle_group(const std::vector<Hierarchy>& hierarchies, bool& unified);

// In the child: makes the group if it is missing, makes it idle, and moves
// the calling process into it. Another wrapper may remove the group at any
// moment (it does when its own job ends): then the group is made again, a
// bounded number of times. Never enables a controller or moves another
// process.
bool join_idle_group(const std::string& group, bool unified);

// Removes the group when it is empty; the kernel refuses while it is in use.
void remove_idle_group(const std::string& group);

}  // namespace lull::platform
