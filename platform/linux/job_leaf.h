// The job's leaf: a group of the unified (cgroup v2) tree that holds one job
// and nothing else, so that the job, and only it, can be frozen. Its name
// marks it as a job's leaf and names the wrapper that made it, so that other
// wrappers leave it out of what they watch, and a later wrapper can tell
// whether its maker is still alive. Linux code only.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/linux/cgroups.h"

namespace lull::platform {

struct PlacementPlan;
enum class Route : int;

// What every job leaf's name begins with.
inline constexpr const char* job_leaf_prefix = "lullrun-job-";

// In the wrapper, before the fork: the name of its job's leaf (the prefix,
// the wrapper's process id and its start time, which a reused id does not
// share), and for the shared idle group the leaf's parent in the unified tree.
void plan_job_leaf(const std::vector<Hierarchy>& hierarchies, PlacementPlan& plan);

// In the child, once placed by `route`: makes the leaf and moves itself in.
// The manager's scope is the manager's own, but with Delegate=yes the groups
// below it are ours. False when there is no leaf to be had.
bool enter_job_leaf(const PlacementPlan& plan, Route route);

// What the watch needs of the unified tree below `top`.
struct JobTree {
  std::vector<std::string> watched;    // groups that neither are nor hold a job leaf
  std::vector<std::string> ancestors;  // groups that hold a job leaf somewhere below
  std::vector<std::string> leaves;     // every job leaf
};
JobTree read_job_tree(const std::string& top);

// The job leaves beside `leaf`: in the scopes or shared group next to its own.
std::vector<std::string> leaves_beside(const std::string& leaf);

// Whether `folder` holds a process of its own, kernel threads aside (they sit
// in the v2 root on every system and never wait for the job's disk).
bool holds_processes(const std::string& folder);

// Thaws the frozen leaves whose wrapper is gone, and removes the empty ones.
void tidy_stale_leaves(const std::vector<std::string>& leaves);

// Freezes or thaws `leaf`: 0, or the errno of the failure.
int set_frozen(const std::string& leaf, bool frozen);

// A kernel file kept open and read again from its start each time: the
// watch reads tens of them ten times a second, without opening or allocating.
class KernelFile {
 public:
  KernelFile() = default;
  explicit KernelFile(const char* path);
  explicit KernelFile(const std::string& path) : KernelFile(path.c_str()) {}
  ~KernelFile();
  KernelFile(KernelFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  KernelFile& operator=(KernelFile&& other) noexcept;
  KernelFile(const KernelFile&) = delete;
  KernelFile& operator=(const KernelFile&) = delete;

  [[nodiscard]] bool is_open() const { return fd_ >= 0; }
  // The file's text from its start, in `buffer`; "" when it cannot be read.
  [[nodiscard]] std::string_view read(std::span<char> buffer) const;

 private:
  int fd_ = -1;
};

// The "some" stall total of a group's open io.pressure file, in
// microseconds; -1 when it cannot be read.
std::int64_t stall_total_us(const KernelFile& pressure);

// The process ids in `leaf`.
std::vector<pid_t> processes_in(const std::string& leaf);

}  // namespace lull::platform
