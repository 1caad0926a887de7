// The fall-back where no control group can be had: the child's session group
// (autogroup), at nice 19. Where the kernel groups processes by session, a
// session's group competes with every other at equal weight whatever its
// threads' class, so the child's group must be the least of all. Linux only.
#pragma once

#include <sys/types.h>

#include <chrono>

#include "platform/process.h"

namespace lull::platform {

// In the child, which leads a session of its own: asks once; 0, or the errno
// of the refusal. The kernel takes an unprivileged write at most every
// 100 ms, system-wide, so among wrappers started together some are refused
// (EAGAIN); their wrappers follow up.
int lower_own_session_group();

// In the wrapper: makes sure a child's session group ends at nice 19, asking
// again on a schedule of its own, for a bounded time, where the kernel has
// not taken it yet.
class SessionGroupFollowUp final : public FollowUp {
 public:
  // Checks at once; keeps at it while the kernel refuses.
  void follow(pid_t child);
  // Stops following, once the child is gone.
  void stop();

  [[nodiscard]] std::chrono::steady_clock::time_point due() const override { return due_; }
  void run() override;

 private:
  pid_t child_ = 0;
  int tries_left_ = 0;
  std::chrono::steady_clock::time_point due_ = std::chrono::steady_clock::time_point::max();
};

}  // namespace lull::platform
