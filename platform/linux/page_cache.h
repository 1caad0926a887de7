// Keeping the job's page cache within an allowance, so that the kernel never
// has to push the user's files out of memory to make room for the job's.
// While the job does I/O the wrapper asks its leaf's memory controller for
// the job's file pages above the allowance back (memory.reclaim, Linux 5.19
// on; before it, the leaf's memory.high lowered for a moment, which makes
// the kernel reclaim down to it at once); nothing outside the job's own leaf
// is touched. Linux code only.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/linux/job_tree.h"
#include "platform/linux/leaf_freezer.h"

namespace lull::platform {

// What a leaf's memory.stat says of its page cache, in bytes.
struct CacheUse {
  std::uint64_t file = 0;           // every file page: active, inactive, dirty, under writeback
  std::uint64_t inactive_file = 0;  // what the kernel reclaims first
  std::uint64_t dirty = 0;          // file_dirty + file_writeback: not reclaimable before writeback
  bool read = false;                // false when the text held no "file" line
};
CacheUse cache_use(std::string_view memory_stat);

// How much to ask back: the file pages above the allowance that are clean.
// Dirty pages count toward the allowance, but asking for them would only make
// the kernel wait on their writeback in the wrapper. Where the kernel takes
// no swappiness=0 with the request, no more than the inactive file pages,
// which it takes before it looks at anonymous memory.
std::uint64_t bytes_to_ask(const CacheUse& use, std::uint64_t allowance, bool file_only);

// The allowance for a machine of `memory_total` bytes: a sixteenth of it,
// from 64 MiB to 256 MiB. Why: README, "The page cache".
std::uint64_t cache_allowance(std::uint64_t memory_total);

// The time to the next look for a job that brought `grown` bytes into the
// cache in `elapsed`: about half the allowance's worth, from 100 ms to a
// second; none (max) when it brought none.
std::chrono::milliseconds look_interval(std::uint64_t grown, std::chrono::milliseconds elapsed,
                                        std::uint64_t allowance);

// The wrapper's side: readied on its first look at the job's leaf, it reads
// the leaf's memory.stat on the watch's looks and asks the excess back.
class PageCache {
 public:
  using time_point = std::chrono::steady_clock::time_point;

  PageCache() = default;
  ~PageCache();
  PageCache(const PageCache&) = delete;
  PageCache& operator=(const PageCache&) = delete;

  // One look of the watch at the job in `leaf`: whether the job did I/O
  // since the last one, and the time now. Returns when it wants the next
  // look, sooner than the watch's own while the job fills the cache
  // (time_point::max() when it has no need). `freezer`'s guard puts back a
  // memory.high lowered by a wrapper that is gone.
  time_point look(const std::string& leaf, bool job_did_io, time_point now, LeafFreezer& freezer);
  // The wrapper ends: says the totals, once, where anything was looked at.
  void say_totals();

 private:
  enum class State { unready, on, off };

  void ready(const std::string& leaf);
  [[nodiscard]] const char* refusal(const std::string& leaf);
  void ask_back(const CacheUse& use, time_point now, LeafFreezer& freezer);
  int write_request(std::uint64_t bytes, LeafFreezer& freezer);
  int lower_high_for(std::uint64_t bytes, LeafFreezer& freezer);

  State state_ = State::unready;
  KernelFile stat_;           // the leaf's memory.stat
  std::string reclaim_path_;  // the leaf's memory.reclaim, or "" to lower memory.high
  KernelFile current_;        // the leaf's memory.current, where memory.high is lowered
  int high_ = -1;             // the leaf's memory.high, "max" but for a moment
  std::uint64_t allowance_ = 0;
  bool file_only_ = true;       // the kernel takes "swappiness=0"; false once refused
  std::uint64_t expected_ = 0;  // the file pages the last look left
  time_point last_look_{};
  time_point next_look_ = time_point::max();
  time_point first_ask_{};
  std::uint64_t asked_ = 0;  // totals: bytes asked back, in how many requests,
  int requests_ = 0;         // and how many the kernel met only in part
  int short_ = 0;
  std::uint64_t most_file_ = 0;
};

}  // namespace lull::platform
