// Freezing and thawing the job's leaf, and the guard that thaws it when the
// wrapper is gone. Linux code only.
#include "platform/linux/leaf_freezer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>

#include "platform/linux/signals.h"

namespace lull::platform {
namespace {

int write_state(int descriptor, bool frozen) {
  ssize_t written = -1;
  do {
    written = ::write(descriptor, frozen ? "1" : "0", 1);
  } while (written < 0 && errno == EINTR);
  return written == 1 ? 0 : errno;
}

// Every descriptor but the two kept (-1: none) closed: the guard must hold
// no pipe open that a reader of the wrapper's output waits to see closed.
void close_all_but(int first, int second) {
  unsigned from = 0;
  bool ranges = true;
  for (const int kept : {std::min(first, second), std::max(first, second)}) {
    if (kept < 0) continue;
    const auto at = static_cast<unsigned>(kept);
    if (at > from) ranges = ranges && ::syscall(SYS_close_range, from, at - 1, 0U) == 0;
    from = at + 1;
  }
  if (ranges && ::syscall(SYS_close_range, from, ~0U, 0U) == 0) return;
  for (int descriptor = 0; descriptor < 1024; ++descriptor)
    if (descriptor != first && descriptor != second) ::close(descriptor);
}

// The guard, forked from the wrapper: async-signal-safe calls only. It sits
// in the wrapper's group, outside the leaf, so freezing the job never
// freezes it; in a session of its own, the terminal's signals meant for the
// wrapper pass it by, and it ignores the rest, SIGKILL aside.
[[noreturn]] void guard(pid_t wrapper, int freeze_descriptor, int memory_high) {
  ::setsid();
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &ignore, nullptr);
  close_all_but(freeze_descriptor, memory_high);
  const auto wrapper_descriptor = static_cast<int>(::syscall(SYS_pidfd_open, wrapper, 0U));
  // Its parent still the wrapper once the descriptor is taken: the wrapper
  // had not gone before.
  if (::getppid() == wrapper) {
    pollfd gone{wrapper_descriptor, POLLIN, 0};
    if (wrapper_descriptor >= 0) {
      while (::poll(&gone, 1, -1) < 0 && errno == EINTR) {
      }
    } else {
      while (::getppid() == wrapper) ::poll(nullptr, 0, 250);  // no pidfd before Linux 5.3
    }
  }
  if (freeze_descriptor >= 0) write_state(freeze_descriptor, false);
  if (memory_high >= 0) {
    [[maybe_unused]] const ssize_t put_back = ::pwrite(memory_high, "max", 3, 0);
  }
  ::_exit(0);
}

}  // namespace

LeafFreezer::~LeafFreezer() { close(); }

bool LeafFreezer::open(const std::string& leaf) {
  close();
  descriptor_ = ::open((leaf + "/cgroup.freeze").c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
  thaw_on_ending(descriptor_);
  return descriptor_ >= 0;
}

int LeafFreezer::freeze() {
  if (descriptor_ < 0) return EBADF;
  reap_guard();
  if (guard_ == 0 && !start_guard()) return EAGAIN;
  return write_state(descriptor_, true);
}

int LeafFreezer::thaw() {
  const int error = descriptor_ >= 0 ? write_state(descriptor_, false) : EBADF;
  thaw_owed_ = error != 0;
  return error;
}

bool LeafFreezer::guard_memory_high(int memory_high) {
  if (memory_high_ != memory_high) end_guard();  // one that does not know it
  memory_high_ = memory_high;
  reap_guard();
  return guard_ > 0 || start_guard();
}

bool LeafFreezer::start_guard() {
  const pid_t wrapper = ::getpid();
  const pid_t forked = ::fork();
  if (forked == 0) guard(wrapper, descriptor_, memory_high_);
  guard_ = forked > 0 ? forked : 0;
  return guard_ > 0;
}

// A guard that went (killed by hand) is not left a zombie; the next freeze
// starts another.
void LeafFreezer::reap_guard() {
  if (guard_ > 0 && ::waitpid(guard_, nullptr, WNOHANG) == guard_) guard_ = 0;
}

void LeafFreezer::end_guard() {
  if (guard_ <= 0) return;
  ::kill(guard_, SIGKILL);
  while (::waitpid(guard_, nullptr, 0) < 0 && errno == EINTR) {
  }
  guard_ = 0;
}

// The page cache puts memory.high back itself before the wrapper closes this.
void LeafFreezer::close() {
  memory_high_ = -1;
  if (descriptor_ < 0) return end_guard();
  if (thaw() == 0) end_guard();
  thaw_on_ending(-1);
  ::close(descriptor_);
  descriptor_ = -1;
}

}  // namespace lull::platform
