// Pausing the job while the rest of the machine waits on the disk. The idle
// I/O class is honoured in full only by the bfq scheduler; on mq-deadline and
// none a streaming job still takes most of the disk from a foreground that
// reads one block at a time. So while the job does I/O the wrapper watches
// the I/O stall (pressure) of every group other than the jobs' leaves, and
// freezes the job's leaf while that stall lasts. Linux code only.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/linux/job_leaf.h"
#include "platform/linux/page_cache.h"
#include "platform/process.h"

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
};

// What to do after one reading.
enum class PauseStep { none, pause, thaw_calm, thaw_bound };

// The decision alone, fed with readings: whether the job should be frozen.
class PauseDecision {
 public:
  explicit PauseDecision(PauseRules rules = {}) : rules_(rules), calm_ms_(rules.least_calm_ms) {}

  // One reading at `now_ms`: the most stall, in microseconds, that any
  // watched group gained over the last `elapsed_ms`.
  PauseStep observe(std::int64_t now_ms, std::int64_t elapsed_ms, std::int64_t stall_us);
  // Ends a pause for a reason of the caller's (the wrapper ends, the job is
  // told to end); counts it as no flap.
  void thawed_from_outside(std::int64_t now_ms);

  [[nodiscard]] bool paused() const { return paused_; }
  [[nodiscard]] std::int64_t calm_needed_ms() const { return calm_ms_; }
  [[nodiscard]] int pauses() const { return pauses_; }
  [[nodiscard]] std::int64_t paused_ms() const { return paused_ms_; }
  [[nodiscard]] std::int64_t paused_since_ms() const { return paused_at_; }

 private:
  void thaw(std::int64_t now_ms, bool calm);

  PauseRules rules_;
  std::int64_t calm_ms_;
  bool paused_ = false;
  bool last_thaw_calm_ = false;
  std::int64_t paused_at_ = 0;
  std::int64_t last_stall_ = 0;
  std::int64_t thawed_at_ = 0;
  std::int64_t may_pause_at_ = 0;
  int pauses_ = 0;
  std::int64_t paused_ms_ = 0;
};

// The wrapper's side: finds the job's leaf once the child runs, tidies what
// killed wrappers left, checks on every tick whether the job did disk I/O,
// and watches and pauses only while it does. Thaws whenever the wrapper ends.
class DiskPause final : public FollowUp {
 public:
  // Follows the job `child` in the unified tree `tree`, alone in the leaf
  // named `leaf_name` ("" when it has none).
  void follow(pid_t child, const Hierarchy& tree, const std::string& leaf_name);
  // The child has ended: thaws, reports the totals, removes the leaf when empty.
  void end();
  // The wrapper is ending by a signal: thaws, and pauses no more.
  void finish() override;
  // While the watch rests: the leaf's pressure trigger, which fires once the
  // job waits on the disk, sooner than the next tick would notice.
  [[nodiscard]] int wake_descriptor() const override { return mode_ == Mode::idle ? trigger_ : -1; }

  [[nodiscard]] std::chrono::steady_clock::time_point due() const override {
    return std::min(due_, cache_due_);
  }
  void run() override;

 private:
  // first: due at once, to tidy and ready; idle: the job is checked for I/O
  // on every tick (and a few times early on); watching: sampled.
  enum class Mode { off, first, idle, watching };

  void begin();
  void look_again_early();
  void arm_trigger();
  void check_for_io();
  bool start_watching();
  void sample();
  void apply(PauseStep step, std::int64_t stall_per_mille);
  void thaw_for(const char* why);
  [[nodiscard]] bool job_told_to_end() const;
  [[nodiscard]] std::uint64_t job_io() const;

  Mode mode_ = Mode::off;
  pid_t child_ = 0;
  std::string top_;   // the unified tree as far as we can see it
  std::string leaf_;  // the leaf's folder
  PauseDecision decision_;
  KernelFile leaf_pressure_;          // the leaf's own io.pressure
  KernelFile leaf_procs_;             // the leaf's cgroup.procs
  std::vector<KernelFile> watched_;   // io.pressure of the groups watched
  std::vector<std::int64_t> totals_;  // their "some" totals at the last reading
  std::uint64_t last_io_ = 0;
  std::int64_t last_sample_ms_ = 0;
  std::int64_t last_job_io_ms_ = 0;
  std::int64_t tree_read_ms_ = 0;
  int trigger_ = -1;
  bool trigger_armed_ = false;
  bool trigger_muted_ = false;  // refused, or where the watch cannot tell others from the job
  std::string refusal_;         // why the last attempt to watch found no pause possible
  std::chrono::steady_clock::time_point started_;
  std::chrono::steady_clock::time_point due_ = std::chrono::steady_clock::time_point::max();
  // The job's page cache, looked at on the watch's looks, at its own pace
  // while the job fills it.
  PageCache cache_;
  std::chrono::steady_clock::time_point cache_due_ = std::chrono::steady_clock::time_point::max();
};

}  // namespace lull::platform
