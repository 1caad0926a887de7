// When to pause the job. Linux code only.
#include "platform/linux/pause_decision.h"

#include <algorithm>

namespace lull::platform {

PauseStep PauseDecision::observe(std::int64_t now_ms, std::int64_t elapsed_ms,
                                 std::int64_t stall_us, std::int64_t moved, bool job_moved) {
  const bool stalled = stalls(elapsed_ms, stall_us);
  if (!paused_) {
    // A running window: the oldest part goes in proportion, so that the
    // rate before a pause is that of about the last half second.
    if (moved < 0 || before_moved_ < 0 || before_elapsed_ms_ == 0) {
      before_moved_ = moved;
      before_elapsed_ms_ = moved < 0 ? 0 : elapsed_ms;
    } else {
      const std::int64_t kept_ms = std::max<std::int64_t>(before_ms - elapsed_ms, 0);
      if (before_elapsed_ms_ > kept_ms) {
        before_moved_ = before_moved_ * kept_ms / before_elapsed_ms_;
        before_elapsed_ms_ = kept_ms;
      }
      before_moved_ += moved;
      before_elapsed_ms_ += elapsed_ms;
    }
    if (!stalled || !job_moved || now_ms < may_pause_at_) return PauseStep::none;
    return start_pause(now_ms, stall_us * 10 / elapsed_ms);
  }
  if (stalled) last_stall_ = now_ms;
  if (now_ms - paused_at_ >= rules_.longest_pause_ms) {
    thaw(now_ms, false);
    may_pause_at_ = now_ms + rules_.run_after_bound_ms;
    return PauseStep::thaw_bound;
  }
  if (now_ms - last_stall_ >= calm_ms_) {
    thaw(now_ms, true);
    back_off_ms_ = rules_.least_back_off_ms;
    return PauseStep::thaw_calm;
  }
  if (judged_useless(now_ms, elapsed_ms, stall_us, moved)) {
    thaw(now_ms, false);
    may_pause_at_ = now_ms + back_off_ms_;
    back_off_ms_ = std::min(2 * back_off_ms_, rules_.most_back_off_ms);
    return PauseStep::thaw_useless;
  }
  return PauseStep::none;
}

PauseStep PauseDecision::start_pause(std::int64_t now_ms, std::int64_t share) {
  // A stall back soon after a thaw on calm: that calm was too short, and a
  // job thawed again at once would only flap. A thaw the bound forced says
  // nothing of the calm: a steady foreground must not lengthen it.
  if (pauses_ > 0 && last_thaw_calm_) {
    calm_ms_ = now_ms - thawed_at_ < 2 * calm_ms_ ? std::min(2 * calm_ms_, rules_.most_calm_ms)
                                                  : std::max(calm_ms_ / 2, rules_.least_calm_ms);
  }
  paused_ = true;
  paused_at_ = last_stall_ = now_ms;
  pausing_share_ = share;
  pausing_moved_ = before_moved_;
  pausing_ms_ = before_elapsed_ms_;
  judged_stall_us_ = judged_ms_ = judged_moved_ = 0;
  ++pauses_;
  return PauseStep::pause;
}

bool PauseDecision::judged_useless(std::int64_t now_ms, std::int64_t elapsed_ms,
                                   std::int64_t stall_us, std::int64_t moved) {
  const std::int64_t into = now_ms - paused_at_;
  if (into <= rules_.settle_ms || into > rules_.settle_ms + rules_.judge_ms + elapsed_ms)
    return false;
  judged_stall_us_ += stall_us;
  judged_ms_ += elapsed_ms;
  judged_moved_ = moved < 0 || judged_moved_ < 0 ? -1 : judged_moved_ + moved;
  if (judged_ms_ < rules_.judge_ms) return false;
  // Shares per 10,000 of the time, and rates, compared without division.
  const bool fallen =
      judged_stall_us_ * 10 * 100 < rules_.helped_percent * pausing_share_ * judged_ms_;
  // Where the rate before is not known (the group first seen stalling as it
  // paused the job), any bytes moved while the job is frozen say it helps;
  // none (a client waiting on the job itself) say it does not.
  const bool quickened =
      judged_moved_ > 0 &&
      (pausing_moved_ < 0 || pausing_ms_ == 0 ||
       judged_moved_ * pausing_ms_ * 100 >= rules_.faster_percent * pausing_moved_ * judged_ms_);
  return !fallen && !quickened;
}

void PauseDecision::thawed_from_outside(std::int64_t now_ms, std::int64_t hold_off_ms) {
  if (paused_) thaw(now_ms, false);
  may_pause_at_ = std::max(may_pause_at_, now_ms + hold_off_ms);
}

void PauseDecision::thaw(std::int64_t now_ms, bool calm) {
  paused_ = false;
  paused_ms_ += now_ms - paused_at_;
  thawed_at_ = now_ms;
  last_thaw_calm_ = calm;
}

}  // namespace lull::platform
