// The window host for Linux: no window, an event loop that ticks on a timer
// and wakes at once when a child changes state. Linux code only.
#include "platform/host.h"

#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>

#include "platform/linux/signals.h"
#include "platform/linux/text_file.h"

namespace lull::platform {

const char folder_separator = '/';

struct Window::State {
  std::chrono::milliseconds interval;
  int child_events = -1;  // signalfd for SIGCHLD and the caught signals; -1 leaves the timer alone
  sigset_t caught{};      // signals that end the wrapper, read from the signalfd instead
  sigset_t faults{};      // signals that end the wrapper, caught by a handler that thaws first
  sigset_t stops{};       // signals that stop the wrapper: the job is thawed first
  bool loaded = false;
};

namespace {

// Of `set`, those still at their default and unblocked: a signal the caller
// ignored or blocked, or one a preloaded library handles, stays as it is.
// The kernel lists the ignored and the handled in one file, where asking
// for each signal would take tens of calls.
void keep_defaults(sigset_t& set) {
  sigset_t blocked;
  ::sigprocmask(SIG_BLOCK, nullptr, &blocked);
  const std::string status = read_text("/proc/self/status", 4096);
  unsigned long long taken = 0;
  for (const char* field : {"\nSigIgn:", "\nSigCgt:"}) {
    const std::size_t line = status.find(field);
    taken |=
        line == std::string::npos ? ~0ULL : std::strtoull(status.c_str() + line + 8, nullptr, 16);
  }
  for (int signal = 1; signal < NSIG && signal <= 64; ++signal) {
    if (::sigismember(&blocked, signal) == 1 || (taken >> (signal - 1) & 1) != 0)
      ::sigdelset(&set, signal);
  }
}

}  // namespace

Window::Window(const char* /*caption: nothing shows it here*/, int interval_ms)
    : state_(new State{std::chrono::milliseconds(interval_ms)}) {
  // A caller may have left SIGCHLD ignored, and an ignored SIGCHLD makes the
  // kernel reap children itself: the child's status would be lost and its end
  // never reported. The child itself starts with default dispositions.
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  ::sigaction(SIGCHLD, &default_action, nullptr);
  // SIGCHLD is blocked before any child exists, so a child that ends at once
  // is still reported; the child itself starts with an empty mask.
  // The ending signals likewise: one that comes while the child starts is
  // read once the loop runs. Those the caller ignored or handles stay so.
  ending_signals(state_->caught, state_->faults);
  stopping_signals(state_->stops);
  ::sigorset(&state_->caught, &state_->caught, &state_->stops);
  sigset_t at_default;
  ::sigorset(&at_default, &state_->caught, &state_->faults);
  keep_defaults(at_default);
  ::sigandset(&state_->caught, &state_->caught, &at_default);
  ::sigandset(&state_->faults, &state_->faults, &at_default);
  for (int signal = 1; signal < NSIG; ++signal)
    if (::sigismember(&state_->faults, signal) == 1) catch_ending(signal);
  sigset_t blocked = state_->caught;
  ::sigaddset(&blocked, SIGCHLD);
  ::sigprocmask(SIG_BLOCK, &blocked, nullptr);
}

Window::~Window() {
  if (state_->child_events >= 0) ::close(state_->child_events);
  delete state_;
}

void Window::hide() {}

void Window::unload() { state_->loaded = false; }

namespace {

// Empties the signalfd; true when a child's change of state was reported.
// An ending signal is the last thing read: `ending` tells which.
bool drain(int child_events, int& ending) {
  signalfd_siginfo info{};
  bool any = false;
  while (::read(child_events, &info, sizeof info) == sizeof info) {
    if (info.ssi_signo != SIGCHLD) {
      ending = static_cast<int>(info.ssi_signo);
      return any;
    }
    any = true;
  }
  return any;
}

}  // namespace

void Window::run(WindowEvents& events, FollowUp& follow_up) {
  using clock = std::chrono::steady_clock;
  state_->loaded = true;
  events.load();
  // Made only once the child is started: under a tight descriptor limit the
  // start needs every descriptor there is. A SIGCHLD from before is still
  // pending, blocked, and is reported all the same; without the descriptor
  // the tick alone ends the wait.
  sigset_t read_here = state_->caught;
  ::sigaddset(&read_here, SIGCHLD);
  state_->child_events = ::signalfd(-1, &read_here, SFD_NONBLOCK | SFD_CLOEXEC);
  // Without the descriptor (the descriptor limit reached) no signal could
  // be read: each is caught by the handler that thaws, then ends or stops
  // as its default action would.
  if (state_->child_events < 0) {
    for (int signal = 1; signal < NSIG; ++signal)
      if (::sigismember(&state_->caught, signal) == 1 && ::sigismember(&state_->stops, signal) != 1)
        catch_ending(signal);
    ::sigprocmask(SIG_UNBLOCK, &state_->caught, nullptr);
  }
  auto next_tick = clock::now() + state_->interval;
  while (state_->loaded) {
    // The follow-up keeps its own schedule.
    const auto wake = std::min(next_tick, follow_up.due());
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake - clock::now());
    std::array<pollfd, 2> wait_for{pollfd{state_->child_events, POLLIN, 0},
                                   pollfd{follow_up.wake_descriptor(), POLLPRI, 0}};
    const nfds_t count = wait_for[1].fd >= 0 ? 2 : 1;
    const int ready =
        ::poll(wait_for.data(), count, static_cast<int>(std::max<long long>(wait.count(), 0)));
    if (ready < 0) continue;  // interrupted: wait again for what is left
    int ending = 0;
    const bool child_changed =
        (wait_for[0].revents & POLLIN) != 0 && drain(state_->child_events, ending);
    if (child_changed) events.timer();
    if (ending != 0 && ::sigismember(&state_->stops, ending) == 1) {
      // Stopped, the wrapper could not thaw: the job runs while it is.
      follow_up.suspend();
      stop_by_signal(ending);
    } else if (ending != 0) {
      follow_up.finish();
      end_by_signal(ending);
    }
    if (child_changed) continue;
    if (wait_for[1].revents != 0 || clock::now() >= follow_up.due()) follow_up.run();
    if (clock::now() < next_tick) continue;
    // The follow-up's checks that are not urgent take the tick's wake-up.
    follow_up.run();
    events.timer();
    // A stopped or starved wrapper does not make up for missed ticks.
    while (next_tick <= clock::now()) next_tick += state_->interval;
  }
}

}  // namespace lull::platform
