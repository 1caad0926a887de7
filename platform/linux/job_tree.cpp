// What the wrapper's watch reads of the unified tree, and what it tidies
// there. Linux code only.
#include "platform/linux/job_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>

#include "platform/diagnostics.h"
#include "platform/linux/job_leaf.h"
#include "platform/linux/text_file.h"

namespace lull::platform {
namespace {

constexpr int deepest_walk = 32;  // a tree deeper than this is not walked further
constexpr unsigned long kernel_thread = 0x00200000;  // PF_KTHREAD in /proc/PID/stat's flags
constexpr int removal_attempts = 20;
constexpr useconds_t removal_pause_us = 5000;

std::string_view base_name(std::string_view folder) { return folder.substr(folder.rfind('/') + 1); }

// Whether the wrapper that made the leaf named `name` is still running.
bool maker_alive(std::string_view name) {
  name.remove_prefix(std::string_view(job_leaf_prefix).size());
  const std::size_t dash = name.find('-');
  if (dash == std::string_view::npos) return false;
  const auto pid = static_cast<pid_t>(std::atol(std::string(name.substr(0, dash)).c_str()));
  return pid > 0 && start_time_of(pid) == name.substr(dash + 1);
}

// The names of the folders in `folder`.
std::vector<std::string> folders_in(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_type == DT_DIR && entry->d_name[0] != '.') names.emplace_back(entry->d_name);
  }
  ::closedir(dir);
  return names;
}

// Returns whether `folder` is or holds a job leaf, and notes what it finds.
// The recursion ends at the walk's depth limit.
bool visit(  // NOLINT(misc-no-recursion)
    const std::string& folder, int depth, JobTree& tree) {
  std::vector<std::pair<std::string, bool>> children;  // folder, holds a leaf
  for (const std::string& name : folders_in(folder)) {
    std::string child = folder;
    child.append("/").append(name);
    const bool leaf = is_job_leaf(base_name(folder), name);
    if (leaf) tree.leaves.push_back(child);
    const bool holds = leaf || (depth < deepest_walk && visit(child, depth + 1, tree));
    children.emplace_back(std::move(child), holds);
  }
  const bool holds = std::ranges::any_of(children, [](const auto& c) { return c.second; });
  if (!holds) return false;
  tree.ancestors.push_back(folder);
  for (auto& [child, child_holds] : children)
    if (!child_holds) tree.watched.push_back(std::move(child));
  return true;
}

void add_groups_below(  // NOLINT(misc-no-recursion): ends at the depth limit
    const std::string& folder, int depth, std::vector<std::string>& groups) {
  for (const std::string& name : folders_in(folder)) {
    std::string group = folder;
    group.append("/").append(name);
    if (depth < deepest_walk) add_groups_below(group, depth + 1, groups);
    groups.push_back(std::move(group));
  }
}

}  // namespace

JobTree read_job_tree(const std::string& top) {
  JobTree tree;
  visit(top, 0, tree);
  return tree;
}

bool is_job_leaf(std::string_view parent, std::string_view name) {
  return name.starts_with(job_leaf_prefix) &&
         (parent == own_tree_parent || parent.ends_with(".scope"));
}

std::vector<std::string> leaves_beside(const std::string& leaf) {
  // A leaf is in a scope of the manager's or in the shared group, and those
  // are beside each other: in the scopes and shared groups next to the
  // leaf's own parent.
  std::vector<std::string> leaves;
  const std::string parent = leaf.substr(0, leaf.rfind('/'));
  const std::string top = parent.substr(0, parent.rfind('/'));
  for (const std::string& holder : folders_in(top)) {
    if (!holder.ends_with(".scope") && holder != own_tree_parent) continue;
    std::string group = top;
    group.append("/").append(holder);
    for (const std::string& name : folders_in(group)) {
      std::string found = group;
      found.append("/").append(name);
      if (is_job_leaf(holder, name) && found != leaf) leaves.push_back(std::move(found));
    }
  }
  return leaves;
}

bool holds_processes(const std::string& folder) {
  return std::ranges::any_of(processes_in(folder), [](pid_t pid) {
    const std::string flags = stat_field(pid, 6);
    return !flags.empty() && (std::strtoul(flags.c_str(), nullptr, 10) & kernel_thread) == 0;
  });
}

void tidy_stale_leaves(const std::vector<std::string>& leaves) {
  for (const std::string& leaf : leaves) {
    if (maker_alive(base_name(leaf))) continue;
    // What was asked, not what is done: a freeze asked for while a task of
    // the job slept in the disk is not done yet, and is done a moment later.
    if (read_text(leaf + "/cgroup.freeze", 16).starts_with("1")) {
      const int error = write_small_file((leaf + "/cgroup.freeze").c_str(), "0");
      diagnose("leaf: %s was left frozen by a wrapper that is gone: %s", leaf.c_str(),
               error == 0 ? "thawed" : "cannot thaw it");
    }
    remove_leaf(leaf);  // refused while the job's processes are still in it
  }
}

void remove_leaf(const std::string& leaf) {
  for (const std::string& group : groups_below(leaf)) ::rmdir(group.c_str());
  // A process just reaped still counts in its group for a moment on some
  // kernels (6.18 here): an emptied leaf is asked again, briefly; one that
  // still holds what the job left behind is not.
  for (int attempt = 0; attempt < removal_attempts; ++attempt) {
    if (::rmdir(leaf.c_str()) == 0 || errno != EBUSY || !processes_in(leaf).empty()) return;
    ::usleep(removal_pause_us);
  }
}

std::vector<std::string> groups_below(const std::string& folder) {
  std::vector<std::string> groups;
  add_groups_below(folder, 0, groups);
  return groups;
}

std::vector<pid_t> processes_in(const std::string& group) {
  std::vector<pid_t> found;
  for_each_line(read_text(group + "/cgroup.procs"), [&](std::string_view line) {
    if (!line.empty()) found.push_back(static_cast<pid_t>(std::atol(std::string(line).c_str())));
  });
  return found;
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

}  // namespace lull::platform
