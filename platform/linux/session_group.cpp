// The child's session group at nice 19, and the wrapper's follow-up where the
// kernel's rate limit refused it at first. Linux code only.
#include "platform/linux/session_group.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/linux/text_file.h"

namespace lull::platform {
namespace {

using clock = std::chrono::steady_clock;

// Twenty seconds of asking: fifty wrappers started together all get through.
constexpr int follow_up_tries = 160;
constexpr auto follow_up_interval = std::chrono::milliseconds(110);

struct FollowUp {
  pid_t child = 0;
  int tries_left = 0;
  clock::time_point due = clock::time_point::max();
};
FollowUp pending;

// "/autogroup-42 nice 19" once the group is lowered.
bool already_lowered(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::array<char, 128> text{};
  const ssize_t got = ::read(fd, text.data(), text.size() - 1);
  ::close(fd);
  return got > 0 && std::strstr(text.data(), " nice 19") != nullptr;
}

// Spreads the wrappers that were refused together over the kernel's slots.
clock::duration jitter() { return std::chrono::milliseconds(random_bits() % 64); }

// One try; true when nothing more is to be done.
bool try_once(pid_t child) {
  // A child that does not lead its own session yet has not made it: it may
  // not have run that far (without the report pipe the wrapper does not wait
  // for its start). One that is gone needs nothing more.
  const pid_t session = ::getsid(child);
  if (session < 0) return true;
  if (session != child) return false;
  const std::string path = "/proc/" + std::to_string(child) + "/autogroup";
  if (already_lowered(path)) return true;
  // Refused for now: the kernel's rate limit, or no descriptor to spare.
  const int error = write_small_file(path.c_str(), "19");
  return error != EAGAIN && error != EMFILE && error != ENFILE;
}

}  // namespace

int lower_own_session_group() { return write_small_file("/proc/self/autogroup", "19"); }

void follow_session_group(pid_t child) {
  pending = {};
  if (child <= 0 || try_once(child)) return;
  pending = {child, follow_up_tries, clock::now() + follow_up_interval + jitter()};
}

void stop_following_session_group() { pending = {}; }

clock::time_point next_session_group_follow_up() { return pending.due; }

void follow_up_session_group() {
  if (pending.child <= 0 || clock::now() < pending.due) return;
  if (try_once(pending.child) || --pending.tries_left <= 0) {
    pending = {};
    return;
  }
  pending.due = clock::now() + follow_up_interval + jitter();
}

}  // namespace lull::platform
