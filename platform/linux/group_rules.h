// Rules the kernel enforces through a control group besides its limits: BPF
// programs attached to the group or its ancestors (systemd's IP address lists
// and filters, socket-bind rules, network-interface rules, device policies and
// BPFProgram= are all such programs), the v1 device lists, and which groups
// the kernel kills whole when memory runs out. A process moved to another
// group leaves the first two behind. Linux code only.
#pragma once

#include <string>
#include <vector>

#include "platform/linux/cgroups.h"

namespace lull::platform {

// Whether every rule that holds for the wrapper's own group holds at the
// group `parent` too (a path as /proc/self/cgroup writes them), where a new
// group would be made below it: each BPF program in effect on the wrapper's
// group is in effect on `parent`, compared by program id, and, on a v1 tree,
// the device lists match. A query the kernel refuses (anyone but root, or a
// program count beyond what it may report) means "not known": false, and the
// job stays where its rules hold.
bool rules_hold_at(const std::vector<Hierarchy>& hierarchies, const std::string& parent);

// The folder of the outermost group on the wrapper's own cgroup v2 path
// whose memory.oom.group is 1: the kernel kills that whole group when it
// picks any process in it for memory. "" when this namespace sees none.
std::string outermost_oom_group(const std::vector<Hierarchy>& hierarchies);

}  // namespace lull::platform
