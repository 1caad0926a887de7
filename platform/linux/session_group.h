// The fall-back where no control group can be had: the child's session group
// (autogroup), at nice 19. Where the kernel groups processes by session, a
// session's group competes with every other at equal weight whatever its
// threads' class, so the child's group must be the least of all. Linux only.
#pragma once

#include <sys/types.h>

#include <chrono>

namespace lull::platform {

// In the child, which leads a session of its own: asks once; 0, or the errno
// of the refusal. The kernel takes an unprivileged write at most every
// 100 ms, system-wide, so among wrappers started together some are refused
// (EAGAIN); their wrappers follow up.
int lower_own_session_group();

// In the wrapper: makes sure `child`'s session group ends at nice 19. Checks
// at once; where the kernel has not taken it yet, asks again on a schedule of
// its own, for a bounded time, from the host's loop.
void follow_session_group(pid_t child);

// Stops following, once the child is gone.
void stop_following_session_group();

// When the next follow-up is due; time_point::max() when none is pending.
std::chrono::steady_clock::time_point next_session_group_follow_up();

// Runs the follow-up that is due.
void follow_up_session_group();

}  // namespace lull::platform
