// Freezing and thawing the job's leaf, so that the job is never left frozen:
// the leaf's cgroup.freeze is opened once, when the leaf is known, so that no
// descriptor limit can keep a thaw from being written; a thaw that fails is
// owed and tried again; a signal that ends the wrapper thaws through the
// same descriptor; and from the first freeze on, a guard process outside the
// leaf thaws it when the wrapper is gone, killed outright or not (and puts
// back the leaf's memory.high where the page cache lowers it for a moment).
// Linux code only.
#pragma once

#include <sys/types.h>

#include <string>

namespace lull::platform {

class LeafFreezer {
 public:
  LeafFreezer() = default;
  ~LeafFreezer();
  LeafFreezer(const LeafFreezer&) = delete;
  LeafFreezer& operator=(const LeafFreezer&) = delete;

  // Opens `leaf`'s cgroup.freeze for the rest of the wrapper's life; false
  // when it cannot be written (no freezer before Linux 5.2, not ours).
  bool open(const std::string& leaf);
  [[nodiscard]] bool is_open() const { return descriptor_ >= 0; }

  // Asks the kernel to freeze the job; 0, or the errno of the failure. The
  // first freeze starts the guard; without one, nothing is frozen.
  int freeze();
  // Asks the kernel to thaw the job: 0, or the errno of the failure, and
  // then the thaw is owed until one succeeds.
  int thaw();
  [[nodiscard]] bool thaw_owed() const { return thaw_owed_; }

  // From now on the guard also writes "max" to `memory_high` (the leaf's
  // memory.high, which the page cache lowers for a moment where the kernel
  // has no memory.reclaim) when the wrapper is gone; started here where it
  // does not run yet. False when no guard runs.
  bool guard_memory_high(int memory_high);

  // The wrapper ends: thaws, and ends the guard where the thaw was done;
  // where it was not, the guard tries once more as the wrapper goes.
  void close();

 private:
  bool start_guard();
  void reap_guard();

  void end_guard();

  int descriptor_ = -1;
  int memory_high_ = -1;  // the page cache's, not closed here
  bool thaw_owed_ = false;
  pid_t guard_ = 0;
};

}  // namespace lull::platform
