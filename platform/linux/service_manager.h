// Asking the service manager for a transient scope, idle, for the calling
// process. Linux code only.
#pragma once

#include <string>

namespace lull::platform {

// What the child asks the manager for, decided by the wrapper before the fork.
struct ScopeRequest {
  // Which manager: the system's (root, on a machine systemd booted) or the
  // user's own (a wrapper that runs under it); none asks no one.
  enum class Manager { none, system, user } manager = Manager::none;
  std::string user_bus;           // the user's bus: a local unix: address
  std::string program_name;       // names the scope
  std::string slice = "-.slice";  // the lowest slice at or below every limit on our branch
  std::string own_group;          // the wrapper's group as /proc/self/cgroup names it, where the
                                  // manager must see it too
};

// The user's bus as the environment names it, when it is a local socket
// (unix:path= or unix:abstract=, which connect at once), or
// $XDG_RUNTIME_DIR/bus when the environment names none; "" when neither: a
// bus that could only be reached over the network, or through a program, is
// not one to wait for.
std::string user_bus_address();

// Moves the calling process into a new scope as `request` says, with the least
// CPU weight there is, tied to the wrapper's own service where it runs in
// one. Only a manager that sees the caller in the group the kernel names is
// asked. True only when the manager's job for it finished as "done". One deadline of about a second
// covers the whole talk: a bus or manager that never answers, or one that refuses, costs the start
// no more than that.
bool place_in_scope(const ScopeRequest& request);

// The scope's unit name for `program_name`, process `pid` and a random part,
// escaped to the characters unit names allow and at most 255 bytes long.
std::string scope_name(const std::string& program_name, long pid, unsigned random_part);

}  // namespace lull::platform
