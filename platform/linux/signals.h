// Ending the wrapper by a signal, as that signal's default action would.
// Linux code only.
#pragma once

namespace lull::platform {

// Restores `signal`'s default action, unblocks it and raises it, leaving no
// core file; returns only where the signal does not end the process.
void end_by_signal(int signal);

}  // namespace lull::platform
