// Pausing the job while the rest of the machine waits on the disk: the
// wrapper's watch, which feeds the decision its readings and freezes and
// thaws the leaf as it says. Linux code only.
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
#include <utility>

#include "platform/diagnostics.h"
#include "platform/linux/job_leaf.h"
#include "platform/linux/text_file.h"

namespace lull::platform {
namespace {

constexpr PauseRules rules{};
// The job's own I/O last seen this long ago (frozen time aside), and the
// watch goes back to the wrapper's ordinary tick.
constexpr std::int64_t quiet_ms = 2000;
// New groups come and go (a login, another job): the tree is read again
// when the number of groups changed, and this often at the least.
constexpr std::int64_t tree_check_ms = 2000;
constexpr std::int64_t tree_refresh_ms = 10000;
// The bytes the job's processes moved are counted at most this often: the
// leaf's own stall tells of most I/O in one read; the count, of a job waiting
// for asynchronous I/O instead, costs a read per process.
constexpr std::int64_t bytes_count_ms = 1000;
// While paused, the job's first process is looked at for a signal that asks
// it to end on every sample, every process below the leaf this often.
constexpr std::int64_t all_signals_ms = 1000;

std::int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The bytes a process moved to and from storage, from its /proc/PID/io
// ("read_bytes: N").
std::uint64_t storage_bytes(pid_t pid) {
  std::array<char, 48> path{};
  (void)std::snprintf(path.data(), path.size(), "/proc/%d/io", static_cast<int>(pid));
  std::array<char, 512> buffer{};
  const std::string_view text = KernelFile(path.data()).read(buffer);
  std::uint64_t bytes = 0;
  for (const std::string_view field : {"\nread_bytes: ", "\nwrite_bytes: "}) {
    const std::size_t at = text.find(field);
    if (at != std::string_view::npos)
      bytes += std::strtoull(text.data() + at + field.size(), nullptr, 10);
  }
  return bytes;
}

// Signals that ask a process to end: thawed, the job runs its handler, and
// is not paused again. A frozen process runs its handler only once thawed.
constexpr unsigned long long bit(int signal) { return 1ULL << (signal - 1); }
constexpr unsigned long long ending_signals =
    bit(SIGINT) | bit(SIGTERM) | bit(SIGKILL) | bit(SIGPWR);
// Signals that ask for something else (a thread dump, a reload): thawed to
// answer, the job may pause again.
constexpr unsigned long long asking_signals = bit(SIGQUIT) | bit(SIGHUP);

// The signals pending for process `pid`, its own and its threads' shared.
unsigned long long pending_signals(pid_t pid) {
  const std::string status = read_text("/proc/" + std::to_string(pid) + "/status", 4096);
  unsigned long long pending = 0;
  for (const std::string_view field : {"\nSigPnd:", "\nShdPnd:"}) {
    const std::size_t at = status.find(field);
    if (at != std::string::npos)
      pending |= std::strtoull(status.c_str() + at + field.size(), nullptr, 16);
  }
  return pending;
}

// The number of groups below the top, from its cgroup.stat; -1 when unread.
std::int64_t groups_counted(const KernelFile& stat) {
  std::array<char, 256> buffer{};
  const std::string_view text = stat.read(buffer);
  const std::size_t at = text.find("nr_descendants ");
  return at == std::string_view::npos ? -1 : std::strtoll(text.data() + at + 15, nullptr, 10);
}

// The bytes an io.stat text counts read and written, every device together
// ("MAJ:MIN rbytes=N wbytes=N rios=.."); -1 for no text.
std::int64_t io_stat_bytes(std::string_view text) {
  if (text.empty()) return -1;
  std::int64_t bytes = 0;
  for (const std::string_view field : {" rbytes=", " wbytes="}) {
    for (std::size_t at = text.find(field); at != std::string_view::npos;
         at = text.find(field, at + 1))
      bytes += std::strtoll(text.data() + at + field.size(), nullptr, 10);
  }
  return bytes;
}

// The bytes `group` moved to and from storage, and where that was read: its
// io.stat where the io controller reaches it, else what its processes moved
// (a group of more than 16 groups or 64 processes is left uncounted: the
// count is read on every look); -1 when neither can be told.
std::pair<std::int64_t, bool> group_bytes(const std::string& group) {
  std::array<char, 4096> buffer{};
  if (const std::int64_t bytes = io_stat_bytes(KernelFile(group + "/io.stat").read(buffer));
      bytes >= 0)
    return {bytes, true};
  const std::int64_t below = groups_counted(KernelFile(group + "/cgroup.stat"));
  if (below < 0 || below > 16) return {-1, false};
  std::uint64_t bytes = 0;
  int processes = 0;
  for_each_process_below(group, [&](pid_t pid) {
    if (++processes <= 64) bytes += storage_bytes(pid);
  });
  return {processes == 0 || processes > 64 ? -1 : static_cast<std::int64_t>(bytes), false};
}

}  // namespace

void DiskPause::follow(pid_t child, const Hierarchy& tree, const std::string& leaf_name) {
  child_ = child;
  if (tree.mount_point.empty()) return;
  top_ = tree.mount_point;
  own_group_ = tree.own;
  const std::string group = unified_group(child);
  if (!leaf_name.empty() && group.ends_with("/" + leaf_name)) leaf_ = tree.folder_of(group);
  // Open from now on: no descriptor limit reached later keeps a thaw from
  // being written, and a fatal signal's handler thaws through it.
  if (!leaf_.empty()) freezer_.open(leaf_);
  // The rest waits for the loop: the child is running by then.
  become(Mode::first);
}

void DiskPause::become(Mode mode) {
  mode_ = mode;
  const auto now = clock::now();
  const auto sample = std::chrono::milliseconds(rules.sample_ms);
  switch (mode) {
    case Mode::off:
      due_ = clock::time_point::max();
      break;
    case Mode::first:
      due_ = now;
      break;
    case Mode::idle:
      // On the wrapper's tick, or sooner when the trigger fires: a job that
      // does no I/O costs no wake-up of its own.
      due_ = clock::time_point::max();
      break;
    case Mode::watching:
      // On the sample's own rhythm; a wrapper that was starved or stopped
      // does not make up for the samples it missed.
      due_ = due_ != clock::time_point::max() && due_ + sample > now ? due_ + sample : now + sample;
      break;
  }
  if (freezer_.thaw_owed()) due_ = std::min(due_, now + sample);
}

int DiskPause::wake_descriptor() const {
  return mode_ == Mode::idle && !trigger_muted_ ? trigger_ : -1;
}

void DiskPause::run() {
  if (freezer_.thaw_owed() && freezer_.thaw() == 0)
    diagnose("pause: the job runs again: a thaw that had failed is done");
  // The page cache is looked at when the job moved something in this look.
  const std::int64_t io_seen_before = last_job_io_ms_;
  if (mode_ == Mode::first) {
    begin();
  } else if (mode_ == Mode::idle) {
    look_while_idle();
  } else if (mode_ == Mode::watching && clock::now() >= due_) {
    look();
  } else if (freezer_.thaw_owed()) {
    become(mode_);
  }
  cache_due_ = cache_.look(leaf_, last_job_io_ms_ != io_seen_before, clock::now(), freezer_);
}

// Once the child runs: what killed wrappers left beside the leaf is tidied,
// and the pause readied where it can work. Its descriptors stay open from
// here to the end.
void DiskPause::begin() {
  if (leaf_.empty()) {
    diagnose("pause: none: the job has no leaf of its own");
    return become(Mode::off);
  }
  tidy_stale_leaves(leaves_beside(leaf_));
  if (const char* why = refusal(); why != nullptr) {
    diagnose("pause: none: %s", why);
    return become(Mode::off);
  }
  leaf_pressure_ = KernelFile(leaf_ + "/io.pressure");
  if (stall_total_us(leaf_pressure_) < 0) {
    diagnose("pause: none: the leaf's I/O pressure cannot be read (psi=0, or no descriptor left)");
    return become(Mode::off);
  }
  top_stat_ = KernelFile(top_ + "/cgroup.stat");
  // Armed on the first look, here: a trigger costs the kernel a thread of
  // its own for root, which a child that ended at once does not pay for.
  trigger_ = ::open((leaf_ + "/io.pressure").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  arm_trigger();
  // What the job read as it started (its program, its libraries) is where
  // its count starts: a job that moves nothing more costs no watch.
  (void)job_did_io(now_ms(), true);
  become(Mode::idle);
}

const char* DiskPause::refusal() const {
  const char* setting = std::getenv("LULLRUN_PAUSE");
  if (setting != nullptr && std::string_view(setting) == "0") return "LULLRUN_PAUSE is 0";
  if (!freezer_.is_open()) return "the leaf cannot be frozen (no cgroup.freeze before Linux 5.2)";
  // A wrapper that is itself another's job would be frozen by that one's
  // pause, and could then neither thaw its own job nor see it told to end.
  const std::vector<std::string_view> parts = path_parts(own_group_);
  if (!parts.empty() && parts.back().starts_with(job_leaf_prefix))
    return "the wrapper runs in another wrapper's job";
  return nullptr;
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

// On the wrapper's tick, or woken by the trigger. A trigger whose group went
// reports an error for good: it is dropped, or it would wake us without end.
void DiskPause::look_while_idle() {
  if (!trigger_armed_) arm_trigger();
  pollfd trigger{trigger_, POLLPRI, 0};
  if (trigger_ >= 0 && ::poll(&trigger, 1, 0) > 0 && (trigger.revents & (POLLERR | POLLNVAL))) {
    ::close(trigger_);
    trigger_ = -1;
  }
  const std::int64_t now = now_ms();
  if (job_did_io(now, true) && read_tree(now)) {
    last_job_io_ms_ = last_sample_ms_ = now;
    become(Mode::watching);
    diagnose("pause: the job does disk I/O: watching the stall of %zu groups", watched_.size());
    return;
  }
  become(Mode::idle);
}

// One look while watching: the only place where the job's I/O since the
// last look is known, and the decision fed.
void DiskPause::look() {
  const std::int64_t now = now_ms();
  std::size_t most_stalled = SIZE_MAX;
  const std::int64_t stall = others_stall_us(most_stalled);
  const std::int64_t moved = others_moved(most_stalled);
  const std::int64_t elapsed = now - last_sample_ms_;
  last_sample_ms_ = now;
  // Here, once per look, whether the job moved anything on the disk since
  // the last look is known: what acts on the job's I/O acts from here. Where
  // the others stall enough to pause a running job, its bytes are counted
  // now: it is paused only if it moved something, and a job that waits for
  // asynchronous I/O shows it only in its bytes.
  const bool running = !decision_.paused();
  const bool job_moved = job_did_io(now, running && decision_.stalls(elapsed, stall));
  // Frozen, the job cannot do I/O: the time paused is not quiet.
  if (job_moved || !running) last_job_io_ms_ = now;
  if (!running) act_on_end_signals(now);
  if (mode_ != Mode::watching) return;
  apply(decision_.observe(now, elapsed, stall, moved, job_moved),
        stall / std::max<std::int64_t>(elapsed, 1));
  if (mode_ != Mode::watching) return;
  if (!decision_.paused() && now - last_job_io_ms_ >= quiet_ms) return become(Mode::idle);
  if (tree_may_have_changed(now) && !read_tree(now)) {
    thaw_for("nothing to watch");
    return become(Mode::idle);
  }
  become(Mode::watching);
}

// Whether the job moved anything since the last look: the leaf's own stall
// counts a job that waits in read(); the bytes its processes moved, counted
// at most once a second unless `count_now`, one that waits for asynchronous
// I/O instead.
bool DiskPause::job_did_io(std::int64_t now, bool count_now) {
  const std::int64_t stall = stall_total_us(leaf_pressure_);
  bool moved = stall != leaf_stall_;
  leaf_stall_ = stall;
  if (!moved && (count_now || now - bytes_counted_ms_ >= bytes_count_ms)) {
    bytes_counted_ms_ = now;
    std::uint64_t bytes = 0;
    for_each_process_below(leaf_, [&](pid_t pid) { bytes += storage_bytes(pid); });
    moved = bytes != job_bytes_;
    job_bytes_ = bytes;
  }
  return moved;
}

std::int64_t DiskPause::others_stall_us(std::size_t& most_stalled) {
  std::int64_t most = 0;
  for (std::size_t i = 0; i < watched_.size(); ++i) {
    const std::int64_t total = stall_total_us(watched_[i]);
    if (total >= 0 && totals_[i] >= 0 && total - totals_[i] > most) {
      most = total - totals_[i];
      most_stalled = i;
    }
    totals_[i] = total;
  }
  return most;
}

// The bytes the counted group moved since the last look. The group counted
// is the one most stalled, kept while no group stalls, so that the look that
// pauses the job knows what it moved just before; while the job is paused,
// the one that paused it. -1 for a group just taken up, or uncounted.
std::int64_t DiskPause::others_moved(std::size_t most_stalled) {
  const std::size_t group =
      decision_.paused() || most_stalled >= groups_.size() ? counted_group_ : most_stalled;
  const auto [count, from_stat] = group < groups_.size() ? group_bytes(groups_[group])
                                                         : std::pair<std::int64_t, bool>{-1, false};
  const std::int64_t moved = group == counted_group_ && from_stat == counted_from_stat_ &&
                                     count >= 0 && counted_bytes_ >= 0
                                 ? count - counted_bytes_
                                 : -1;
  counted_group_ = group;
  counted_bytes_ = count;
  counted_from_stat_ = from_stat;
  return moved;
}

bool DiskPause::tree_may_have_changed(std::int64_t now) {
  if (now - tree_read_ms_ >= tree_refresh_ms) return true;
  if (now - tree_read_ms_ < tree_check_ms) return false;
  return groups_counted(top_stat_) != tree_groups_;
}

// Reads which groups to watch: the whole tree but the jobs' leaves and the
// groups that hold them. Processes sitting in such a group (the v2 root of
// a machine without a manager, a container's own group) cannot be told from
// the job: every other group is watched all the same. False when there is
// nothing to watch.
bool DiskPause::read_tree(std::int64_t now) {
  tree_groups_ = groups_counted(top_stat_);
  tree_read_ms_ = now;
  const JobTree tree = read_job_tree(top_);
  std::string unseen;
  for (const std::string& ancestor : tree.ancestors)
    if (holds_processes(ancestor)) unseen.append(unseen.empty() ? "" : ", ").append(ancestor);
  if (unseen != unseen_ && !unseen.empty())
    diagnose("pause: the stall of the processes in %s cannot be told from the job's: not watched",
             unseen.c_str());
  unseen_ = unseen;
  watched_.clear();
  totals_.clear();
  groups_ = tree.watched;
  counted_group_ = SIZE_MAX;  // the places in the list are new
  for (const std::string& group : tree.watched) {
    watched_.emplace_back(group + "/io.pressure");
    totals_.push_back(stall_total_us(watched_.back()));
  }
  if (watched_.empty() && !trigger_muted_)
    diagnose("pause: none for now: no group beside the job's to watch");
  trigger_muted_ = watched_.empty();  // the tick is soon enough to look again
  return !watched_.empty();
}

// While paused: a process of the job told to end runs its handler at once,
// and is not paused again; one asked for a thread dump or a reload answers,
// and the job may pause again after a second.
void DiskPause::act_on_end_signals(std::int64_t now) {
  unsigned long long pending = pending_signals(child_);
  if (now - signals_checked_ms_ >= all_signals_ms) {
    signals_checked_ms_ = now;
    for_each_process_below(leaf_, [&](pid_t pid) { pending |= pending_signals(pid); });
  }
  if ((pending & ending_signals) != 0) {
    if (thaw_for("a process of the job is told to end; no more pauses for it")) become(Mode::off);
  } else if ((pending & asking_signals) != 0) {
    thaw_for("a process of the job has a signal to answer", rules.run_after_bound_ms);
  }
}

void DiskPause::apply(PauseStep step, std::int64_t stall_per_mille) {
  const std::int64_t now = now_ms();
  const long long held = now - decision_.paused_since_ms();
  switch (step) {
    case PauseStep::none:
      return;
    case PauseStep::pause:
      if (const int error = freezer_.freeze(); error != 0) {
        diagnose("pause: none: the leaf cannot be frozen: %s", std::strerror(error));
        decision_.thawed_from_outside(now);
        freezer_.thaw();
        return become(Mode::off);
      }
      diagnose("pause: the job paused: others waited on the disk %lld.%lld %% of the time",
               static_cast<long long>(stall_per_mille / 10),
               static_cast<long long>(stall_per_mille % 10));
      return;
    case PauseStep::thaw_calm:
    case PauseStep::thaw_bound:
    case PauseStep::thaw_useless:
      if (const int error = freezer_.thaw(); error != 0) {
        diagnose("pause: the job could not be thawed (%s): tried again", std::strerror(error));
        return;
      }
      if (step == PauseStep::thaw_calm)
        diagnose("pause: the job runs again after %lld ms: %lld ms without stall", held,
                 static_cast<long long>(decision_.calm_needed_ms()));
      else if (step == PauseStep::thaw_bound)
        diagnose("pause: the job runs again after %lld ms, the longest pause, for at least %lld ms",
                 held, static_cast<long long>(rules.run_after_bound_ms));
      else
        diagnose(
            "pause: the job runs again after %lld ms: the pause did not lower the others' "
            "stall (the job does not cause it); no pause for %lld ms",
            held, static_cast<long long>(decision_.may_pause_at_ms() - now));
      return;
  }
}

// True when the job runs: it was not paused, or the thaw was done.
bool DiskPause::thaw_for(const char* why, std::int64_t hold_off_ms) {
  if (!decision_.paused()) return true;
  const std::int64_t now = now_ms();
  const long long held = now - decision_.paused_since_ms();
  decision_.thawed_from_outside(now, hold_off_ms);
  if (const int error = freezer_.thaw(); error != 0) {
    diagnose("pause: the job could not be thawed (%s): tried again", std::strerror(error));
    return false;
  }
  diagnose("pause: the job runs again after %lld ms: %s", held, why);
  return true;
}

void DiskPause::suspend() {
  thaw_for("the wrapper stops");
  // Whoever froze it: the job must not stay frozen while its watch cannot run.
  freezer_.thaw();
  if (mode_ == Mode::watching) become(Mode::watching);
}

void DiskPause::finish() {
  if (leaf_.empty()) return;
  thaw_for("the wrapper ends");
  const bool reported = decision_.pauses() > 0 || mode_ == Mode::idle || mode_ == Mode::watching;
  // Thawed whoever froze it: the job must not stay frozen without its watch.
  freezer_.close();
  if (reported)
    diagnose("pause: %d pauses, %lld ms paused in all", decision_.pauses(),
             static_cast<long long>(decision_.paused_ms()));
  cache_.say_totals();
  cache_due_ = clock::time_point::max();
  become(Mode::off);
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
  if (!leaf_.empty()) remove_leaf(leaf_);
  leaf_.clear();
}

}  // namespace lull::platform
