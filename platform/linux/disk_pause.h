// Pausing the job while the rest of the machine waits on the disk. The idle
// I/O class is honoured in full only by the bfq scheduler; on mq-deadline and
// none a streaming job still takes most of the disk from a foreground that
// reads one block at a time. So while the job does I/O the wrapper watches
// the I/O stall (pressure) of every group other than the jobs' leaves, and
// freezes the job's leaf while that stall lasts. This is the wrapper's watch;
// the decision is in pause_decision.h, the freezing in leaf_freezer.h.
// Linux code only.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/linux/cgroups.h"
#include "platform/linux/job_tree.h"
#include "platform/linux/leaf_freezer.h"
#include "platform/linux/page_cache.h"
#include "platform/linux/pause_decision.h"
#include "platform/process.h"

namespace lull::platform {

// The wrapper's side: finds the job's leaf once the child runs, tidies what
// killed wrappers left, checks on every tick whether the job did disk I/O,
// and watches and pauses only while it does. Thaws whenever the wrapper ends
// or stops.
class DiskPause final : public FollowUp {
 public:
  // Follows the job `child` in the unified tree `tree` (with the wrapper's
  // own group), alone in the leaf named `leaf_name` ("" when it has none).
  void follow(pid_t child, const Hierarchy& tree, const std::string& leaf_name);
  // The child has ended: thaws, reports the totals, removes the leaf when empty.
  void end();
  // The wrapper is ending by a signal: thaws, and pauses no more.
  void finish() override;
  // The wrapper is about to stop: thaws; the watch goes on once it runs again.
  void suspend() override;
  // While the watch rests: the leaf's pressure trigger, which fires once the
  // job waits on the disk, sooner than the next tick would notice.
  [[nodiscard]] int wake_descriptor() const override;

  [[nodiscard]] std::chrono::steady_clock::time_point due() const override {
    return std::min(due_, cache_due_);
  }
  void run() override;

 private:
  using clock = std::chrono::steady_clock;
  // off: nothing to do; first: due at once, to tidy and ready; idle: the
  // job is checked for I/O on every tick, and when the leaf's pressure
  // trigger fires; watching: the stall is read every sample.
  enum class Mode { off, first, idle, watching };

  // The one place the watch's state changes: the mode, and when it is next
  // due (a thaw still owed makes it due soon, whatever the mode).
  void become(Mode mode);

  void begin();
  [[nodiscard]] const char* refusal() const;
  void arm_trigger();
  void look_while_idle();
  void look();
  [[nodiscard]] bool job_did_io(std::int64_t now, bool count_now);
  [[nodiscard]] std::int64_t others_stall_us(std::size_t& most_stalled);
  [[nodiscard]] std::int64_t others_moved(std::size_t most_stalled);
  bool read_tree(std::int64_t now);
  [[nodiscard]] bool tree_may_have_changed(std::int64_t now);
  void act_on_end_signals(std::int64_t now);
  void apply(PauseStep step, std::int64_t stall_per_mille);
  bool thaw_for(const char* why, std::int64_t hold_off_ms = 0);

  Mode mode_ = Mode::off;
  clock::time_point due_ = clock::time_point::max();
  pid_t child_ = 0;
  std::string own_group_;  // the wrapper's own group in the unified tree
  std::string top_;        // the unified tree as far as we can see it
  std::string leaf_;       // the leaf's folder
  PauseDecision decision_;
  LeafFreezer freezer_;
  KernelFile leaf_pressure_;          // the leaf's own io.pressure
  KernelFile top_stat_;               // the top's cgroup.stat: its number of groups
  std::vector<KernelFile> watched_;   // io.pressure of the groups watched
  std::vector<std::int64_t> totals_;  // their "some" totals at the last reading
  std::vector<std::string> groups_;   // their folders
  // The group whose bytes moved are counted (the most stalled; from a pause
  // on, the one that paused the job), its count at the last look, and
  // whether that came from its io.stat or its processes.
  std::size_t counted_group_ = SIZE_MAX;
  std::int64_t counted_bytes_ = -1;
  bool counted_from_stat_ = false;
  std::int64_t leaf_stall_ = 0;  // the leaf's own stall total at the last look
  std::uint64_t job_bytes_ = 0;  // the bytes its processes moved, at the last count
  std::int64_t bytes_counted_ms_ = 0;
  std::int64_t last_sample_ms_ = 0;
  std::int64_t last_job_io_ms_ = 0;
  std::int64_t tree_read_ms_ = 0;
  std::int64_t tree_groups_ = -1;  // the top's number of groups when the tree was read
  std::int64_t signals_checked_ms_ = 0;
  int trigger_ = -1;
  bool trigger_armed_ = false;
  bool trigger_muted_ = false;  // refused, or nothing to watch
  std::string unseen_;          // groups above the leaf whose own processes cannot be watched
  // The job's page cache, looked at on the watch's looks, at its own pace
  // while the job fills it.
  PageCache cache_;
  clock::time_point cache_due_ = clock::time_point::max();
};

}  // namespace lull::platform
