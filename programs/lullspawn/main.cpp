// lullspawn: creates its Java child directly in its own folder, reads no
// window-style keys, and lives as long as the child.
#include "launcher/form1.h"
#include "programs/lullspawn/direct_creation.h"

int lull::platform::program_main(const ProgramIdentity& identity) {
  static constexpr Build lullspawn{.reads_window_style_keys = false,
                                   .create_java_child = &create_in_program_folder};
  return run_wrapper(identity, lullspawn);
}
