// Preloaded into the wrapper by the robustness tests: installs a handler for
// SIGUSR1 without SA_RESTART, so that a SIGUSR1 arriving while the wrapper
// waits in a system call makes that call fail with EINTR. The wrapper must
// retry such calls rather than take them for failures.
#include <signal.h>

namespace {

void ignore_signal(int /*signal*/) {}

[[gnu::constructor]] void install_interrupting_handler() {
  struct sigaction action {};
  action.sa_handler = ignore_signal;
  action.sa_flags = 0;
  ::sigemptyset(&action.sa_mask);
  ::sigaction(SIGUSR1, &action, nullptr);
}

}  // namespace
