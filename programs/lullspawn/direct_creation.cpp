#include "programs/lullspawn/direct_creation.h"

namespace lull {

platform::ProcessInformation create_in_program_folder(platform::ProcessServices& processes,
                                                      const platform::CommandLine& command,
                                                      const platform::ProgramIdentity& identity) {
  return processes.create_process(command, identity.folder);
}

}  // namespace lull
