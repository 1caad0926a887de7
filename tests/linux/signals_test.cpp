// The wrapper's table of signals that end or stop it, against what the
// kernel does with each signal at its default action: a signal missing from
// the table would end the wrapper with its job frozen.
#include "platform/linux/signals.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace lull::platform {
namespace {

enum class Fate { ends, stops, goes_on };

// What `signal` at its default action does to a process.
Fate default_fate(int signal) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    // A group of its own under a parent of the same session is never an
    // orphaned one, whose members the kernel does not stop for a terminal's
    // stop signals: the answer does not hang on how the tests were started.
    ::setpgid(0, 0);
    const rlimit no_core{0, 0};
    ::setrlimit(RLIMIT_CORE, &no_core);
    (void)::signal(signal, SIG_DFL);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::kill(::getpid(), signal);
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, WUNTRACED);
  if (WIFSTOPPED(status)) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return Fate::stops;
  }
  return WIFSIGNALED(status) ? Fate::ends : Fate::goes_on;
}

TEST(Signals, TheTableHoldsEverySignalThatEndsOrStopsAProcess) {
  sigset_t asynchronous;
  sigset_t synchronous;
  sigset_t stopping;
  ending_signals(asynchronous, synchronous);
  stopping_signals(stopping);
  for (int signal = 1; signal <= SIGRTMAX; ++signal) {
    if (signal == SIGKILL || signal == SIGSTOP) continue;  // nothing catches them
    if (signal > 31 && signal < SIGRTMIN) continue;        // the C library's own
    SCOPED_TRACE(signal);
    const bool in_async = ::sigismember(&asynchronous, signal) == 1;
    const bool in_sync = ::sigismember(&synchronous, signal) == 1;
    EXPECT_FALSE(in_async && in_sync);
    switch (default_fate(signal)) {
      case Fate::ends:
        EXPECT_TRUE(in_async || in_sync);
        EXPECT_NE(::sigismember(&stopping, signal), 1);
        break;
      case Fate::stops:
        EXPECT_EQ(::sigismember(&stopping, signal), 1);
        EXPECT_FALSE(in_async || in_sync);
        break;
      case Fate::goes_on:
        EXPECT_FALSE(in_async || in_sync || ::sigismember(&stopping, signal) == 1);
        break;
    }
  }
}

}  // namespace
}  // namespace lull::platform
