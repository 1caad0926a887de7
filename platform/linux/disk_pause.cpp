// Pausing the job while the rest of the machine waits on the disk: the
// decision, and the wrapper's watch that feeds it. Linux code only.
#include "platform/linux/disk_pause.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/diagnostics.h"
#include "platform/linux/cgroups.h"
#include "platform/linux/job_leaf.h"
#include "platform/linux/text_file.h"

namespace lull::platform {

PauseStep PauseDecision::observe(std::int64_t now_ms, std::int64_t elapsed_ms,
                                 std::int64_t stall_us) {
  const bool stalled = elapsed_ms > 0 && stall_us * 100 >= rules_.stall_percent * elapsed_ms * 1000;
  if (!paused_) {
    if (!stalled || now_ms < may_pause_at_) return PauseStep::none;
    // A stall back soon after a thaw on calm: that calm was too short, and a
    // job thawed again at once would only flap. A thaw the bound forced says
    // nothing of the calm: a steady foreground must not lengthen it.
    if (pauses_ > 0 && last_thaw_calm_) {
      calm_ms_ = now_ms - thawed_at_ < 2 * calm_ms_ ? std::min(2 * calm_ms_, rules_.most_calm_ms)
                                                    : std::max(calm_ms_ / 2, rules_.least_calm_ms);
    }
    paused_ = true;
    paused_at_ = last_stall_ = now_ms;
    ++pauses_;
    return PauseStep::pause;
  }
  if (stalled) last_stall_ = now_ms;
  if (now_ms - paused_at_ >= rules_.longest_pause_ms) {
    thaw(now_ms, false);
    may_pause_at_ = now_ms + rules_.run_after_bound_ms;
    return PauseStep::thaw_bound;
  }
  if (now_ms - last_stall_ >= calm_ms_) {
    thaw(now_ms, true);
    return PauseStep::thaw_calm;
  }
  return PauseStep::none;
}

void PauseDecision::thawed_from_outside(std::int64_t now_ms) {
  if (paused_) thaw(now_ms, false);
}

void PauseDecision::thaw(std::int64_t now_ms, bool calm) {
  paused_ = false;
  paused_ms_ += now_ms - paused_at_;
  thawed_at_ = now_ms;
  last_thaw_calm_ = calm;
}

namespace {

using clock = std::chrono::steady_clock;

constexpr PauseRules rules{};
// The job's own I/O last seen this long ago, and the watch goes back to the
// wrapper's ordinary tick.
constexpr std::int64_t quiet_ms = 2000;
// The looks at the job between its start and the first tick, after the
// start: a job that goes straight to the disk is watched from then on, and
// one whose I/O the kernel does not count as stall (libaio) is seen too.
// Three looks cost the first minute one wake-up more than the ticks alone.
constexpr std::array<std::chrono::milliseconds, 3> early_looks{std::chrono::milliseconds(250),
                                                               std::chrono::milliseconds(500),
                                                               std::chrono::milliseconds(1000)};
// New groups come and go (a login, another job): the tree is read again this often.
constexpr std::int64_t tree_refresh_ms = 2000;

std::int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(clock::now().time_since_epoch())
      .count();
}

// The bytes a process moved to and from storage, from its /proc/PID/io
// ("read_bytes: N").
std::uint64_t storage_bytes(const KernelFile& io) {
  std::array<char, 512> buffer{};
  const std::string_view text = io.read(buffer);
  std::uint64_t bytes = 0;
  for (const std::string_view field : {"\nread_bytes: ", "\nwrite_bytes: "}) {
    const std::size_t at = text.find(field);
    if (at != std::string_view::npos)
      bytes += std::strtoull(text.data() + at + field.size(), nullptr, 10);
  }
  return bytes;
}

// The bytes every process in the leaf moved (its cgroup.procs): a job's
// worker processes, not only its first.
std::uint64_t storage_bytes_in(const KernelFile& procs) {
  std::array<char, 4096> buffer{};
  std::uint64_t bytes = 0;
  // Read on every tick: the path is made without the heap.
  std::array<char, 48> path{};
  for_each_line(procs.read(buffer), [&](std::string_view pid) {
    if (pid.empty() || pid.size() > 20) return;
    std::snprintf(path.data(), path.size(), "/proc/%.*s/io", static_cast<int>(pid.size()),
                  pid.data());
    bytes += storage_bytes(KernelFile(path.data()));
  });
  return bytes;
}

// Signals that ask a process to end. A frozen process runs its handler only
// once thawed: a job told to end must get the chance.
constexpr unsigned long long ending_signals = 1ULL << (SIGHUP - 1) | 1ULL << (SIGINT - 1) |
                                              1ULL << (SIGQUIT - 1) | 1ULL << (SIGTERM - 1) |
                                              1ULL << (SIGKILL - 1) | 1ULL << (SIGPWR - 1);

bool ending_signal_pending(pid_t pid) {
  const std::string status = read_text("/proc/" + std::to_string(pid) + "/status", 4096);
  return std::ranges::any_of(
      std::array<std::string_view, 2>{"\nSigPnd:", "\nShdPnd:"}, [&](std::string_view field) {
        const std::size_t at = status.find(field);
        return at != std::string::npos &&
               (std::strtoull(status.c_str() + at + field.size(), nullptr, 16) & ending_signals) !=
                   0;
      });
}

// The child's group in the unified tree, from /proc/PID/cgroup ("0::/a/b").
std::string unified_group_of(pid_t pid) {
  std::string group;
  for_each_line(read_text("/proc/" + std::to_string(pid) + "/cgroup", 4096),
                [&](std::string_view line) {
                  if (line.starts_with("0::")) group = line.substr(3);
                });
  return group;
}

}  // namespace

void DiskPause::follow(pid_t child, const Hierarchy& tree, const std::string& leaf_name) {
  child_ = child;
  if (tree.mount_point.empty()) return;
  top_ = tree.mount_point;
  const std::string group = unified_group_of(child);
  if (!leaf_name.empty() && group.ends_with("/" + leaf_name)) leaf_ = tree.folder_of(group);
  // The rest waits for the loop: the child is running by then.
  mode_ = Mode::first;
  started_ = due_ = clock::now();
}

void DiskPause::run() {
  const std::uint64_t io_before = last_io_;
  if (mode_ == Mode::first) {
    begin();
  } else if (mode_ == Mode::idle) {
    // On the wrapper's tick, or woken by the trigger. A trigger whose group
    // went reports an error for good: it is dropped, or it would wake us
    // without end.
    if (!trigger_armed_) arm_trigger();
    pollfd trigger{trigger_, POLLPRI, 0};
    if (trigger_ >= 0 && ::poll(&trigger, 1, 0) > 0 && (trigger.revents & (POLLERR | POLLNVAL))) {
      ::close(trigger_);
      trigger_ = -1;
    }
    check_for_io();
    if (mode_ == Mode::idle) look_again_early();
  } else if (mode_ == Mode::watching && clock::now() >= due_) {
    sample();
  }
  cache_due_ = cache_.look(leaf_, last_io_ != io_before, clock::now());
}

// Once the child runs: what killed wrappers left beside the leaf is tidied,
// and the pause readied where it can work. Its descriptors stay open from
// here to the end.
void DiskPause::begin() {
  mode_ = Mode::off;
  due_ = clock::time_point::max();
  if (leaf_.empty()) {
    diagnose("pause: none: the job has no leaf of its own");
    return;
  }
  tidy_stale_leaves(leaves_beside(leaf_));
  const char* setting = std::getenv("LULLRUN_PAUSE");
  if (setting != nullptr && std::string_view(setting) == "0") {
    diagnose("pause: none: LULLRUN_PAUSE is 0");
    return;
  }
  leaf_pressure_ = KernelFile(leaf_ + "/io.pressure");
  leaf_procs_ = KernelFile(leaf_ + "/cgroup.procs");
  const char* refusal = ::access((leaf_ + "/cgroup.freeze").c_str(), W_OK) != 0
                            ? "the leaf cannot be frozen (no cgroup.freeze before Linux 5.2)"
                        : stall_total_us(leaf_pressure_) < 0
                            ? "the kernel keeps no I/O pressure (psi=0)"
                            : nullptr;
  if (refusal != nullptr) {
    diagnose("pause: none: %s", refusal);
    return;
  }
  // Made on the first look: a trigger costs the kernel a thread of its
  // own for root, which a short job should not pay for.
  trigger_ = ::open((leaf_ + "/io.pressure").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  mode_ = Mode::idle;
  look_again_early();
}

void DiskPause::look_again_early() {
  const auto now = clock::now();
  const auto* const next =
      std::ranges::find_if(early_looks, [&](auto after) { return started_ + after > now; });
  due_ = next != early_looks.end() ? started_ + *next : clock::time_point::max();
}

// 100 ms of stall within 2 s: an ordinary user's trigger needs a window of
// whole 2 s on the kernels that take one at all (6.1: 2 s only). Where none
// is taken, the tick alone notices the job's I/O.
void DiskPause::arm_trigger() {
  trigger_armed_ = true;
  static constexpr char trigger[] = "some 100000 2000000";
  const bool taken = trigger_ >= 0 && ::write(trigger_, trigger, sizeof trigger) ==
                                          static_cast<ssize_t>(sizeof trigger);
  trigger_muted_ = !taken;
  diagnose("pause: a pressure trigger on the leaf %s", taken ? "wakes the watch" : "is refused");
}

std::uint64_t DiskPause::job_io() const {
  // Stall in the leaf counts a job that waits in read(); the bytes its
  // processes moved count one that waits for asynchronous I/O instead.
  return static_cast<std::uint64_t>(std::max<std::int64_t>(stall_total_us(leaf_pressure_), 0)) +
         storage_bytes_in(leaf_procs_);
}

void DiskPause::check_for_io() {
  const std::uint64_t io = job_io();
  if (io == last_io_) return;
  last_io_ = io;
  if (start_watching())
    diagnose("pause: the job does disk I/O: watching the stall of %zu groups", watched_.size());
}

// Reads which groups to watch: the whole tree but the jobs' leaves. False,
// and the job runs on unpaused, where that cannot tell others from the job.
bool DiskPause::start_watching() {
  const JobTree tree = read_job_tree(top_);
  std::string refusal;
  for (const std::string& ancestor : tree.ancestors) {
    if (holds_processes(ancestor)) {
      refusal = ancestor + " holds processes of its own, whose stall cannot be told from the job's";
      break;
    }
  }
  if (refusal.empty() && tree.watched.empty()) refusal = "no group beside the job's to watch";
  if (!refusal.empty()) {
    if (refusal != refusal_) diagnose("pause: none for now: %s", refusal.c_str());
    refusal_ = refusal;
    thaw_for("nothing to watch");
    trigger_muted_ = true;  // the tick is soon enough to look again
    mode_ = Mode::idle;
    due_ = clock::time_point::max();
    return false;
  }
  refusal_.clear();
  watched_.clear();
  totals_.clear();
  for (const std::string& group : tree.watched) {
    watched_.emplace_back(group + "/io.pressure");
    totals_.push_back(stall_total_us(watched_.back()));
  }
  const std::int64_t now = now_ms();
  if (mode_ != Mode::watching) last_job_io_ms_ = now;
  last_sample_ms_ = tree_read_ms_ = now;
  mode_ = Mode::watching;
  due_ = clock::now() + std::chrono::milliseconds(rules.sample_ms);
  return true;
}

void DiskPause::sample() {
  const std::int64_t now = now_ms();
  std::int64_t most = 0;
  for (std::size_t i = 0; i < watched_.size(); ++i) {
    const std::int64_t total = stall_total_us(watched_[i]);
    if (total >= 0 && totals_[i] >= 0) most = std::max(most, total - totals_[i]);
    totals_[i] = total;
  }
  const std::int64_t elapsed = now - last_sample_ms_;
  last_sample_ms_ = now;
  if (const std::uint64_t io = job_io(); io != last_io_) {
    last_io_ = io;
    last_job_io_ms_ = now;
  }
  if (decision_.paused() && job_told_to_end()) {
    thaw_for("a process of the job is told to end; no more pauses for it");
    mode_ = Mode::off;
    due_ = clock::time_point::max();
    return;
  }
  apply(decision_.observe(now, elapsed, most), most / std::max<std::int64_t>(elapsed, 1));
  if (!decision_.paused() && now - last_job_io_ms_ >= quiet_ms) {
    mode_ = Mode::idle;  // back to the tick
    due_ = clock::time_point::max();
    return;
  }
  if (now - tree_read_ms_ >= tree_refresh_ms && !start_watching()) return;
  due_ += std::chrono::milliseconds(rules.sample_ms);
  if (due_ <= clock::now()) due_ = clock::now() + std::chrono::milliseconds(rules.sample_ms);
}

void DiskPause::apply(PauseStep step, std::int64_t stall_per_mille) {
  const std::int64_t now = now_ms();
  const long long held = now - decision_.paused_since_ms();
  switch (step) {
    case PauseStep::none:
      return;
    case PauseStep::pause:
      if (const int error = set_frozen(leaf_, true); error != 0) {
        diagnose("pause: none: the leaf cannot be frozen: %s", std::strerror(error));
        decision_.thawed_from_outside(now);
        mode_ = Mode::off;
        due_ = clock::time_point::max();
        return;
      }
      diagnose("pause: the job paused: others waited on the disk %lld.%lld %% of the time",
               static_cast<long long>(stall_per_mille / 10),
               static_cast<long long>(stall_per_mille % 10));
      return;
    case PauseStep::thaw_calm:
      set_frozen(leaf_, false);
      diagnose("pause: the job runs again after %lld ms: %lld ms without stall", held,
               static_cast<long long>(decision_.calm_needed_ms()));
      return;
    case PauseStep::thaw_bound:
      set_frozen(leaf_, false);
      diagnose("pause: the job runs again after %lld ms, the longest pause, for at least %lld ms",
               held, static_cast<long long>(rules.run_after_bound_ms));
      return;
  }
}

void DiskPause::thaw_for(const char* why) {
  if (!decision_.paused()) return;
  const std::int64_t now = now_ms();
  set_frozen(leaf_, false);
  diagnose("pause: the job runs again after %lld ms: %s",
           static_cast<long long>(now - decision_.paused_since_ms()), why);
  decision_.thawed_from_outside(now);
}

bool DiskPause::job_told_to_end() const {
  const std::vector<pid_t> processes = processes_in(leaf_);
  return std::ranges::any_of(processes, ending_signal_pending);
}

void DiskPause::finish() {
  if (leaf_.empty()) return;
  thaw_for("the wrapper ends");
  // Thawed whoever froze it: the job must not stay frozen without its watch.
  set_frozen(leaf_, false);
  if (decision_.pauses() > 0 || mode_ == Mode::idle || mode_ == Mode::watching)
    diagnose("pause: %d pauses, %lld ms paused in all", decision_.pauses(),
             static_cast<long long>(decision_.paused_ms()));
  cache_.say_totals();
  cache_due_ = clock::time_point::max();
  mode_ = Mode::off;
  due_ = clock::time_point::max();
  if (trigger_ >= 0) ::close(trigger_);
  trigger_ = -1;
}

void DiskPause::end() {
  // A child that ended before the loop ever ran: what killed wrappers left
  // is tidied all the same.
  if (mode_ == Mode::first && !leaf_.empty()) tidy_stale_leaves(leaves_beside(leaf_));
  finish();
  // Refused while processes the job left behind are still in it; a later
  // wrapper removes it once they are gone.
  if (!leaf_.empty()) ::rmdir(leaf_.c_str());
  leaf_.clear();
}

}  // namespace lull::platform
