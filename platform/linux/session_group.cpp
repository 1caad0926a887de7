// The child's session group at nice 19, and the wrapper's follow-up where the
// kernel's rate limit refused it at first. Linux code only.
#include "platform/linux/session_group.h"

#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/linux/text_file.h"

namespace lull::platform {
namespace {

using clock = std::chrono::steady_clock;

// Twenty seconds of asking: fifty wrappers started together all get through.
constexpr int follow_up_tries = 160;
constexpr auto follow_up_interval = std::chrono::milliseconds(110);

// "/autogroup-42 nice 19" once the group is lowered.
bool already_lowered(const std::string& path) {
  return read_text(path, 128).find(" nice 19") != std::string::npos;
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

void SessionGroupFollowUp::follow(pid_t child) {
  stop();
  if (child <= 0 || try_once(child)) return;
  child_ = child;
  tries_left_ = follow_up_tries;
  due_ = clock::now() + follow_up_interval + jitter();
}

void SessionGroupFollowUp::stop() {
  child_ = 0;
  due_ = clock::time_point::max();
}

void SessionGroupFollowUp::run() {
  if (child_ <= 0 || clock::now() < due_) return;
  if (try_once(child_) || --tries_left_ <= 0) {
    stop();
    return;
  }
  due_ = clock::now() + follow_up_interval + jitter();
}

}  // namespace lull::platform
