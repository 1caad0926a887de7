// When to pause the job: the decision alone, fed with readings of the stall
// of the groups the wrapper watches, so that it can be tested without a
// disk. Linux code only.
#pragma once

#include <cstdint>

namespace lull::platform {

// The rules of the pause, in milliseconds. Why these values: README, "The
// disk".
struct PauseRules {
  std::int64_t sample_ms = 100;           // how often the watch reads the stall while it watches
  std::int64_t stall_percent = 10;        // others' stall, as a share of the time, that pauses
  std::int64_t least_calm_ms = 200;       // calm before a thaw
  std::int64_t most_calm_ms = 2000;       // the calm wait, doubled for a flapping stall, stops here
  std::int64_t longest_pause_ms = 10000;  // never frozen longer than this at a stretch
  std::int64_t run_after_bound_ms = 1000;  // then the job runs at least this long
  // A pause is judged over its first second, after what was in flight when
  // the job froze has had time to finish: others' stall that has not fallen
  // to `helped_percent` of what paused the job, while they move no more than
  // `faster_percent` of the bytes they moved as it paused, says the job
  // did not cause it (a reader of the job's own file system, a disk the job
  // does not use). A reader bound to the disk waits on it as much with the
  // job frozen, but gets more done. Where the rate before is not known, any
  // bytes moved while the job is frozen count as more.
  std::int64_t settle_ms = 200;
  std::int64_t judge_ms = 1000;
  std::int64_t helped_percent = 80;
  std::int64_t faster_percent = 110;      // of their rate over the last half second before
  std::int64_t least_back_off_ms = 5000;  // then no pause for this long, doubled each time
  std::int64_t most_back_off_ms = 60000;
};

// What to do after one reading.
enum class PauseStep { none, pause, thaw_calm, thaw_bound, thaw_useless };

// The decision alone, fed with readings: whether the job should be frozen.
class PauseDecision {
 public:
  explicit PauseDecision(PauseRules rules = {})
      : rules_(rules), calm_ms_(rules.least_calm_ms), back_off_ms_(rules.least_back_off_ms) {}

  // One reading at `now_ms`: the most stall, in microseconds, that any
  // watched group gained over the last `elapsed_ms`, the bytes that group
  // (from a pause on, the one that paused the job) moved to and from
  // storage meanwhile, or -1 where they are not known, and whether the job
  // moved anything on the disk meanwhile. A job that moved nothing is not
  // paused: freezing it would relieve no one, and a job that read its input
  // and now only computes would be frozen as long as the others wait.
  PauseStep observe(std::int64_t now_ms, std::int64_t elapsed_ms, std::int64_t stall_us,
                    std::int64_t moved, bool job_moved);
  // Whether a stall of `stall_us` over `elapsed_ms` is enough to pause.
  [[nodiscard]] bool stalls(std::int64_t elapsed_ms, std::int64_t stall_us) const {
    return elapsed_ms > 0 && stall_us * 100 >= rules_.stall_percent * elapsed_ms * 1000;
  }
  // Ends a pause for a reason of the caller's (the wrapper ends or stops, the
  // job is told to end); counts it as no flap. The job may pause again after
  // `hold_off_ms`.
  void thawed_from_outside(std::int64_t now_ms, std::int64_t hold_off_ms = 0);

  [[nodiscard]] bool paused() const { return paused_; }
  [[nodiscard]] std::int64_t calm_needed_ms() const { return calm_ms_; }
  [[nodiscard]] std::int64_t may_pause_at_ms() const { return may_pause_at_; }
  [[nodiscard]] int pauses() const { return pauses_; }
  [[nodiscard]] std::int64_t paused_ms() const { return paused_ms_; }
  [[nodiscard]] std::int64_t paused_since_ms() const { return paused_at_; }

 private:
  PauseStep start_pause(std::int64_t now_ms, std::int64_t share);
  // Whether the pause, judged over its first second, has neither let the
  // stall fall nor the others' I/O quicken.
  bool judged_useless(std::int64_t now_ms, std::int64_t elapsed_ms, std::int64_t stall_us,
                      std::int64_t moved);
  void thaw(std::int64_t now_ms, bool calm);

  PauseRules rules_;
  std::int64_t calm_ms_;
  std::int64_t back_off_ms_;
  bool paused_ = false;
  bool last_thaw_calm_ = false;
  std::int64_t paused_at_ = 0;
  std::int64_t last_stall_ = 0;
  std::int64_t thawed_at_ = 0;
  std::int64_t may_pause_at_ = 0;
  std::int64_t pausing_share_ = 0;  // others' stall, per 10,000 of the time, that paused the job
  std::int64_t judged_stall_us_ = 0;
  std::int64_t judged_ms_ = 0;
  // The others' bytes, and the time they took, over the last readings
  // before a pause (up to `before_ms`): -1 once a reading did not know them.
  static constexpr std::int64_t before_ms = 500;
  std::int64_t before_moved_ = -1;
  std::int64_t before_elapsed_ms_ = 0;
  std::int64_t pausing_moved_ = -1;  // in the reading that paused the job, and its length
  std::int64_t pausing_ms_ = 0;
  std::int64_t judged_moved_ = 0;  // while judged; -1 once a reading did not know them
  int pauses_ = 0;
  std::int64_t paused_ms_ = 0;
};

}  // namespace lull::platform
