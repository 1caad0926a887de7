// The job's leaf in the unified tree: making it, telling job leaves and their
// wrappers apart, and what killed wrappers left behind. Linux code only.
#include "platform/linux/job_leaf.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "platform/diagnostics.h"
#include "platform/linux/placement.h"
#include "platform/linux/text_file.h"

namespace lull::platform {
namespace {

constexpr const char* own_tree_parent = "lullrun-idle";
constexpr int enter_attempts = 8;
constexpr int deepest_walk = 32;  // a tree deeper than this is not walked further
constexpr unsigned long kernel_thread = 0x00200000;  // PF_KTHREAD in /proc/PID/stat's flags

// Field `index` of /proc/PID/stat counted after the command's closing
// parenthesis (0 is the state); the command itself may hold blanks and
// parentheses. "" when the process is gone.
std::string stat_field(pid_t pid, int index) {
  const std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat", 1024);
  std::size_t at = stat.rfind(')');
  if (at == std::string::npos) return {};
  for (int field = -1; field < index; ++field) {
    at = stat.find(' ', at + 1);
    if (at == std::string::npos) return {};
  }
  const std::size_t end = stat.find(' ', at + 1);
  return stat.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
}

// The start time of process `pid`, in clock ticks since boot.
std::string start_time_of(pid_t pid) { return stat_field(pid, 19); }

// Whether the wrapper that made the leaf named `name` is still running.
bool maker_alive(std::string_view name) {
  name.remove_prefix(std::string_view(job_leaf_prefix).size());
  const std::size_t dash = name.find('-');
  if (dash == std::string_view::npos) return false;
  const auto pid = static_cast<pid_t>(std::atol(std::string(name.substr(0, dash)).c_str()));
  return pid > 0 && start_time_of(pid) == name.substr(dash + 1);
}

// May a group be made in `folder` and a process moved from the wrapper's own
// group into one below it: as delegation asks of the common ancestor.
bool may_write(const std::string& folder) {
  return ::access(folder.c_str(), W_OK) == 0 &&
         ::access((folder + "/cgroup.procs").c_str(), W_OK) == 0;
}

// Where the shared idle group is in a v1 cpu tree, the job's leaf goes in the
// unified tree at the highest level of the wrapper's branch that it may
// write, and below every group there that carries a limit.
std::string unified_leaf_parent(const std::vector<Hierarchy>& hierarchies) {
  const auto v2 = std::ranges::find_if(hierarchies, &Hierarchy::unified);
  if (v2 == hierarchies.end() || v2->relative.empty()) return {};
  // A hybrid tree's unified hierarchy mostly has no controller, and then no limit.
  const std::string controllers = read_text(v2->mount_point + "/cgroup.controllers", 256);
  const std::vector<std::string> limited = controllers.find_first_not_of(" \n") != std::string::npos
                                               ? limited_groups(*v2)
                                               : std::vector<std::string>();
  const std::size_t lowest_top = limited.empty() ? 0 : limited.back().size();
  std::string group;
  const std::vector<std::string_view> parts = path_parts(v2->own);
  for (std::size_t depth = 0; depth <= parts.size(); ++depth) {
    if (depth > 0) group.append("/").append(parts[depth - 1]);
    const std::string folder = v2->folder_of(group.empty() ? "/" : group);
    if (!folder.empty() && group.size() >= lowest_top && may_write(folder))
      return folder + "/" + own_tree_parent;
  }
  return {};
}

// The manager's scope in the unified tree, once the child is in it: the
// scope's name carries the child's process id. "" when the child's unified
// group is no such scope (a manager without the unified tree).
std::string own_scope_folder() {
  const std::vector<Hierarchy> hierarchies = own_hierarchies();
  const auto v2 = std::ranges::find_if(hierarchies, &Hierarchy::unified);
  if (v2 == hierarchies.end()) return {};
  const std::vector<std::string_view> parts = path_parts(v2->own);
  std::string pid_part = std::to_string(::getpid());  // "-PID-" (GCC 12 warns on "-" + string)
  pid_part.insert(pid_part.begin(), '-');
  pid_part.push_back('-');
  if (parts.empty() || !parts.back().ends_with(".scope") ||
      parts.back().find(pid_part) == std::string_view::npos)
    return {};
  return v2->folder_of(v2->own);
}

// Makes the leaf (and its parent, where that is ours to make) and moves the
// calling process in. Another wrapper removes an empty shared parent when
// its own job ends: then it is made again, a bounded number of times.
bool move_into(const std::string& parent, const std::string& name, bool make_parent) {
  const std::string leaf = parent + "/" + name;
  for (int attempt = 0; attempt < enter_attempts; ++attempt) {
    if (make_parent && ::mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST) return false;
    if (::mkdir(leaf.c_str(), 0755) != 0 && errno != EEXIST) {
      if (errno == ENOENT) continue;
      return false;
    }
    const int error = write_small_file((leaf + "/cgroup.procs").c_str(), "0");
    if (error == 0) return true;
    if (error != ENOENT && error != ENODEV) break;
  }
  ::rmdir(leaf.c_str());
  return false;
}

// Calls `visit` with the name of each folder in `folder`.
template <typename Visit>
void for_each_folder(const std::string& folder, Visit visit) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_type == DT_DIR && entry->d_name[0] != '.') visit(std::string_view(entry->d_name));
  }
  ::closedir(dir);
}

// Returns whether `folder` is or holds a job leaf, and notes what it finds.
// The recursion ends at the walk's depth limit.
bool visit(  // NOLINT(misc-no-recursion)
    const std::string& folder, int depth, JobTree& tree) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return false;
  std::vector<std::pair<std::string, bool>> children;  // folder, holds a leaf
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_type != DT_DIR || entry->d_name[0] == '.') continue;
    std::string child = folder + "/" + entry->d_name;
    const bool leaf = std::string_view(entry->d_name).starts_with(job_leaf_prefix);
    if (leaf) tree.leaves.push_back(child);
    const bool holds = leaf || (depth < deepest_walk && visit(child, depth + 1, tree));
    children.emplace_back(std::move(child), holds);
  }
  ::closedir(dir);
  const bool holds = std::ranges::any_of(children, [](const auto& c) { return c.second; });
  if (!holds) return false;
  tree.ancestors.push_back(folder);
  for (auto& [child, child_holds] : children)
    if (!child_holds) tree.watched.push_back(std::move(child));
  return true;
}

}  // namespace

void plan_job_leaf(const std::vector<Hierarchy>& hierarchies, PlacementPlan& plan) {
  const std::string started = start_time_of(::getpid());
  if (started.empty()) return;
  plan.leaf_name = job_leaf_prefix + std::to_string(::getpid()) + "-" + started;
  const auto v2 = std::ranges::find_if(hierarchies, &Hierarchy::unified);
  if (v2 != hierarchies.end()) plan.unified_tree = *v2;
  if (!plan.idle_group.empty())
    plan.leaf_parent = plan.unified ? plan.idle_group : unified_leaf_parent(hierarchies);
}

bool enter_job_leaf(const PlacementPlan& plan, Route route) {
  if (plan.leaf_name.empty() || route == Route::session_group) return false;
  const bool own_tree = route == Route::own_tree;
  const std::string parent = own_tree ? plan.leaf_parent : own_scope_folder();
  const bool entered = !parent.empty() && move_into(parent, plan.leaf_name, own_tree);
  diagnose("leaf: %s%s%s", entered ? "the job is in " : "none: ",
           entered ? parent.c_str()
           : parent.empty()
               ? (own_tree ? "no unified tree to write" : "the scope is not in the unified tree")
               : "refused in ",
           entered || parent.empty() ? "" : parent.c_str());
  return entered;
}

JobTree read_job_tree(const std::string& top) {
  JobTree tree;
  visit(top, 0, tree);
  return tree;
}

std::vector<std::string> leaves_beside(const std::string& leaf) {
  // A leaf is in a scope of the manager's or in the shared group, and those
  // are beside each other: in the scopes and shared groups next to the
  // leaf's own parent.
  std::vector<std::string> leaves;
  const std::string parent = leaf.substr(0, leaf.rfind('/'));
  const std::string top = parent.substr(0, parent.rfind('/'));
  for_each_folder(top, [&](std::string_view name) {
    if (!name.ends_with(".scope") && name != own_tree_parent) return;
    const std::string group = top + "/" + std::string(name);
    for_each_folder(group, [&](std::string_view inner) {
      const std::string found = group + "/" + std::string(inner);
      if (inner.starts_with(job_leaf_prefix) && found != leaf) leaves.push_back(found);
    });
  });
  return leaves;
}

bool holds_processes(const std::string& folder) {
  bool holds = false;
  for_each_line(read_text(folder + "/cgroup.procs"), [&](std::string_view line) {
    if (holds || line.empty()) return;
    const std::string flags =
        stat_field(static_cast<pid_t>(std::atol(std::string(line).c_str())), 6);
    holds = !flags.empty() && (std::strtoul(flags.c_str(), nullptr, 10) & kernel_thread) == 0;
  });
  return holds;
}

void tidy_stale_leaves(const std::vector<std::string>& leaves) {
  for (const std::string& leaf : leaves) {
    const std::string_view name = std::string_view(leaf).substr(leaf.rfind('/') + 1);
    if (maker_alive(name)) continue;
    if (read_text(leaf + "/cgroup.events", 256).find("frozen 1") != std::string::npos) {
      const int error = set_frozen(leaf, false);
      diagnose("leaf: %s was left frozen by a wrapper that is gone: %s", leaf.c_str(),
               error == 0 ? "thawed" : "cannot thaw it");
    }
    ::rmdir(leaf.c_str());  // refused while the job's processes are still in it
  }
}

int set_frozen(const std::string& leaf, bool frozen) {
  return write_small_file((leaf + "/cgroup.freeze").c_str(), frozen ? "1" : "0");
}

KernelFile::KernelFile(const char* path) : fd_(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY)) {}

KernelFile::~KernelFile() {
  if (fd_ >= 0) ::close(fd_);
}

KernelFile& KernelFile::operator=(KernelFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

std::string_view KernelFile::read(std::span<char> buffer) const {
  ssize_t got = -1;
  do {
    got = fd_ >= 0 ? ::pread(fd_, buffer.data(), buffer.size() - 1, 0) : -1;
  } while (got < 0 && errno == EINTR);
  if (got <= 0) return {};
  buffer[static_cast<std::size_t>(got)] = '\0';
  return {buffer.data(), static_cast<std::size_t>(got)};
}

std::int64_t stall_total_us(const KernelFile& pressure) {
  // "some avg10=0.00 avg60=0.00 avg300=0.00 total=1234\nfull ...": "some" comes first.
  std::array<char, 256> buffer{};
  const std::string_view text = pressure.read(buffer);
  const std::size_t total = text.find("total=");
  if (!text.starts_with("some") || total == std::string_view::npos) return -1;
  return std::strtoll(text.data() + total + 6, nullptr, 10);
}

std::vector<pid_t> processes_in(const std::string& leaf) {
  std::vector<pid_t> found;
  for_each_line(read_text(leaf + "/cgroup.procs"), [&](std::string_view line) {
    if (!line.empty()) found.push_back(static_cast<pid_t>(std::atol(std::string(line).c_str())));
  });
  return found;
}

}  // namespace lull::platform
