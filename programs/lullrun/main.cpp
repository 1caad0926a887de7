// lullrun: starts its child through the system's start service, with the
// window style its settings file chooses, and lives as long as the child.
#include "launcher/form1.h"

int lull::platform::program_main(const ProgramIdentity& identity) {
  static constexpr Build lullrun{.reads_window_style_keys = true};
  return run_wrapper(identity, lullrun);
}
