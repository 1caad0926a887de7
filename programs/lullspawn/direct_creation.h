// How lullspawn starts its Java child: created directly, in the program's own
// folder, so that a class path of "." names the folder beside the program.
#pragma once

#include "platform/host.h"
#include "platform/process.h"

namespace lull {

platform::ProcessInformation create_in_program_folder(platform::ProcessServices& processes,
                                                      const platform::CommandLine& command,
                                                      const platform::ProgramIdentity& identity);

}  // namespace lull
