// What a running wrapper is doing, read from /proc, so that a test can wait
// until the wrapper has handled an event instead of sleeping and hoping.
// Linux only.
#pragma once

#include <signal.h>
#include <sys/syscall.h>
#include <sys/types.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

namespace lull::testing {

// How many times `pid` has gone to sleep of its own accord; -1 once it has
// ended (a zombie included).
inline long sleeps_of(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  const std::string field = "voluntary_ctxt_switches:";
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("State:") && line.find('Z') != std::string::npos) return -1;
    if (line.starts_with(field)) return std::atol(line.c_str() + field.size());
  }
  return -1;
}

// Whether `pid` is blocked in its event wait (poll, or the same poll resumed
// after a stop) with no SIGCHLD left for it to read: whatever woke it before
// has been handled.
inline bool waiting_in_poll(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  std::ifstream syscall(proc + "/syscall");
  long number = -1;
  if (!(syscall >> number)) return false;  // "running", or gone
#ifdef SYS_poll
  const bool in_poll = number == SYS_poll || number == SYS_ppoll || number == SYS_restart_syscall;
#else
  const bool in_poll = number == SYS_ppoll || number == SYS_restart_syscall;
#endif
  if (!in_poll) return false;
  std::ifstream status(proc + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("SigPnd:") || line.starts_with("ShdPnd:")) {
      if ((std::strtoull(line.c_str() + 7, nullptr, 16) >> (SIGCHLD - 1) & 1) != 0) return false;
    }
  }
  return true;
}

// Waits until `pid` has gone to sleep more than `sleeps` times and is back in
// its event wait: it has woken, handled what woke it, and waits again. False
// when it ended or `limit` passed first.
inline bool wait_until_settled(pid_t pid, long sleeps, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    const long now = sleeps_of(pid);
    if (now < 0) return false;
    if (now > sleeps && waiting_in_poll(pid)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

}  // namespace lull::testing
