// The window host for Linux: no window, an event loop that ticks on a timer
// and wakes at once when a child changes state. Linux code only.
#include "platform/host.h"

#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>

namespace lull::platform {

const char folder_separator = '/';

struct Window::State {
  std::chrono::milliseconds interval;
  int child_events = -1;  // signalfd for SIGCHLD; -1 leaves the timer alone
  bool loaded = false;
};

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
  sigset_t child_changed;
  ::sigemptyset(&child_changed);
  ::sigaddset(&child_changed, SIGCHLD);
  ::sigprocmask(SIG_BLOCK, &child_changed, nullptr);
}

Window::~Window() {
  if (state_->child_events >= 0) ::close(state_->child_events);
  delete state_;
}

void Window::hide() {}

void Window::unload() { state_->loaded = false; }

namespace {

// Empties the signalfd; true when a child's change of state was reported.
bool drain(int child_events) {
  signalfd_siginfo info{};
  bool any = false;
  while (::read(child_events, &info, sizeof info) == sizeof info) any = true;
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
  sigset_t child_changed;
  ::sigemptyset(&child_changed);
  ::sigaddset(&child_changed, SIGCHLD);
  state_->child_events = ::signalfd(-1, &child_changed, SFD_NONBLOCK | SFD_CLOEXEC);
  auto next_tick = clock::now() + state_->interval;
  while (state_->loaded) {
    // The follow-up keeps its own schedule.
    const auto wake = std::min(next_tick, follow_up.due());
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake - clock::now());
    pollfd child{state_->child_events, POLLIN, 0};
    const int ready = ::poll(&child, 1, static_cast<int>(std::max<long long>(wait.count(), 0)));
    if (ready < 0) continue;  // interrupted: wait again for what is left
    if (ready > 0 && drain(state_->child_events)) {
      events.timer();
      continue;
    }
    if (clock::now() >= follow_up.due()) follow_up.run();
    if (clock::now() < next_tick) continue;
    events.timer();
    // A stopped or starved wrapper does not make up for missed ticks.
    while (next_tick <= clock::now()) next_tick += state_->interval;
  }
}

}  // namespace lull::platform
