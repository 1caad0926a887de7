// Asking the service manager for a transient scope, idle, at the top of its
// tree, for the calling process. Linux code only.
#pragma once

#include <string>

#include "platform/linux/placement.h"

namespace lull::platform {

// Whether a bus to the manager is there to talk to at all: its address is
// given, or its socket exists. Machines without one never load the library.
bool manager_bus_present(ManagerBus bus);

// Moves the calling process into a new scope of the manager on `bus`, named
// after `program_name`, with the least CPU weight there is. True only when
// the manager's job for it finished as "done". One deadline of about a
// second covers the whole talk: a bus or manager that never answers, or one
// that refuses, costs the start no more than that.
bool place_in_scope(ManagerBus bus, const std::string& program_name);

// The scope's unit name for `program_name`, process `pid` and a random part,
// escaped to the characters unit names allow and at most 255 bytes long.
std::string scope_name(const std::string& program_name, long pid, unsigned random_part);

}  // namespace lull::platform
