// What the wrapper's watch reads of the unified (cgroup v2) tree: the groups
// to watch and the job leaves to leave out, the processes of a leaf and the
// groups below it, what killed wrappers left behind, and the kernel files
// read ten times a second. Linux code only.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lull::platform {

// What the watch needs of the unified tree below `top`.
struct JobTree {
  std::vector<std::string> watched;    // groups that neither are nor hold a job leaf
  std::vector<std::string> ancestors;  // groups that hold a job leaf somewhere below
  std::vector<std::string> leaves;     // every job leaf
};
JobTree read_job_tree(const std::string& top);

// Whether `name`, in the folder named `parent`, is a job leaf: only where
// wrappers make them (below the shared idle group, in a manager's scope), so
// that a group of that name made anywhere else switches nobody's pause off.
bool is_job_leaf(std::string_view parent, std::string_view name);

// The job leaves beside `leaf`: in the scopes or shared group next to its own.
std::vector<std::string> leaves_beside(const std::string& leaf);

// Whether `folder` holds a process of its own, kernel threads aside (they sit
// in the v2 root on every system and never wait for the job's disk).
bool holds_processes(const std::string& folder);

// Thaws the leaves whose wrapper is gone and that were asked to be frozen,
// and removes the empty ones.
void tidy_stale_leaves(const std::vector<std::string>& leaves);

// Removes `leaf` when it is empty, with the empty groups the job made below
// it, deepest first.
void remove_leaf(const std::string& leaf);

// Calls `visit` with the process id of every process in `leaf` and in the
// groups the job made below it.
template <typename Visit>
void for_each_process_below(const std::string& leaf, Visit visit);

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

// The groups below `folder`, deepest first, at most `deepest` levels down.
std::vector<std::string> groups_below(const std::string& folder);

// The process ids listed in a group's cgroup.procs, however many.
std::vector<pid_t> processes_in(const std::string& group);

template <typename Visit>
void for_each_process_below(const std::string& leaf, Visit visit) {
  for (const pid_t pid : processes_in(leaf)) visit(pid);
  for (const std::string& group : groups_below(leaf))
    for (const pid_t pid : processes_in(group)) visit(pid);
}

}  // namespace lull::platform
