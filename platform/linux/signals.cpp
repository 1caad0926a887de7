// The signals that end or stop the wrapper, and the handler that thaws the
// job before a fault ends it. Linux code only.
#include "platform/linux/signals.h"

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <initializer_list>

namespace lull::platform {
namespace {

// The one thing a handler must reach: the job leaf's cgroup.freeze.
std::atomic<int> freeze_descriptor{-1};
static_assert(std::atomic<int>::is_always_lock_free);

// Async-signal-safe throughout: one write, then the default action. The
// action was reset on entry (SA_RESETHAND) and the signal is not blocked
// (SA_NODEFER), so the raise ends the wrapper here; a fault that returned
// instead would only fault again, now with the default action.
extern "C" void thaw_then_end(int signal) {
  const int descriptor = freeze_descriptor.load(std::memory_order_relaxed);
  if (descriptor >= 0) (void)!::write(descriptor, "0", 1);
  (void)::raise(signal);
}

void unblock(int signal) {
  sigset_t only;
  ::sigemptyset(&only);
  ::sigaddset(&only, signal);
  ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
}

}  // namespace

void ending_signals(sigset_t& asynchronous, sigset_t& synchronous) {
  ::sigemptyset(&asynchronous);
  ::sigemptyset(&synchronous);
  // signal(7), "Term" and "Core". SIGPIPE and SIGXFSZ come of a write of the
  // wrapper's own, but the write fails first and the signal waits, blocked,
  // for the loop.
  for (const int signal : {SIGHUP, SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGPIPE, SIGALRM, SIGTERM,
                           SIGSTKFLT, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO, SIGPWR})
    ::sigaddset(&asynchronous, signal);
  for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) ::sigaddset(&asynchronous, signal);
  for (const int signal : {SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGSEGV, SIGSYS})
    ::sigaddset(&synchronous, signal);
}

void stopping_signals(sigset_t& set) {
  ::sigemptyset(&set);
  for (const int signal : {SIGTSTP, SIGTTIN, SIGTTOU}) ::sigaddset(&set, signal);
}

void thaw_on_ending(int descriptor) {
  freeze_descriptor.store(descriptor, std::memory_order_relaxed);
}

void catch_ending(int signal) {
  struct sigaction action {};
  action.sa_handler = thaw_then_end;
  action.sa_flags = SA_RESETHAND | SA_NODEFER;
  ::sigemptyset(&action.sa_mask);
  ::sigaction(signal, &action, nullptr);
  unblock(signal);
}

void end_by_signal(int signal) {
  const rlimit no_core{0, 0};
  ::setrlimit(RLIMIT_CORE, &no_core);
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  ::sigaction(signal, &default_action, nullptr);
  unblock(signal);
  (void)::raise(signal);
}

void stop_by_signal(int signal) {
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  ::sigaction(signal, &default_action, nullptr);
  unblock(signal);
  (void)::raise(signal);  // stops here; in an orphaned process group the kernel drops it
  sigset_t only;
  ::sigemptyset(&only);
  ::sigaddset(&only, signal);
  ::sigprocmask(SIG_BLOCK, &only, nullptr);
}

}  // namespace lull::platform
