// The wrappers' own idle group in a control-group tree they may write. Linux
// code only.
#include "platform/linux/cpu_tree.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "platform/diagnostics.h"
#include "platform/linux/cgroups.h"
#include "platform/linux/text_file.h"

namespace lull::platform {
namespace {

constexpr const char* idle_group_name = "lullrun-idle";
constexpr int join_attempts = 8;

// A group may be made below `folder` and a process moved there from below it:
// the folder is writable, and in v2 so is its cgroup.procs, as delegation
// asks of the common ancestor.
bool may_write(const std::string& folder, bool unified) {
  return ::access(folder.c_str(), W_OK) == 0 &&
         (!unified || ::access((folder + "/cgroup.procs").c_str(), W_OK) == 0);
}

// cpu.idle where the kernel has it (5.15 on); else the least weight there is.
bool set_least_weight(const std::string& group, bool unified) {
  if (write_small_file((group + "/cpu.idle").c_str(), "1") == 0) return true;
  return unified ? write_small_file((group + "/cpu.weight").c_str(), "1") == 0
                 : write_small_file((group + "/cpu.shares").c_str(), "2") == 0;
}

}  // namespace

std::string choose_idle_group(const std::vector<Hierarchy>& hierarchies, bool& unified) {
  Hierarchy cpu;
  if (!find_cpu_hierarchy(hierarchies, cpu) || cpu.relative.empty()) return {};
  // Never above a group that carries a limit: the job would leave it behind.
  const std::vector<std::string> limited = limited_groups(cpu);
  const std::size_t lowest_top = limited.empty() ? 0 : limited.back().size();
  // From the top of the hierarchy down to our own group: the first level
  // that qualifies is the highest.
  std::string group;
  const std::vector<std::string_view> parts = path_parts(cpu.own);
  for (std::size_t depth = 0; depth <= parts.size(); ++depth) {
    if (depth > 0) group.append("/").append(parts[depth - 1]);
    const std::string folder = cpu.folder_of(group.empty() ? "/" : group);
    if (folder.empty() || group.size() < lowest_top) continue;
    if (cpu_on_for_children(folder, cpu.unified) && may_write(folder, cpu.unified)) {
      unified = cpu.unified;
      diagnose("own tree: the shared idle group goes in %s", folder.c_str());
      return folder + "/" + idle_group_name;
    }
  }
  return {};
}

bool join_idle_group(const std::string& group, bool unified) {
  const std::string procs = group + "/cgroup.procs";
  for (int attempt = 0; attempt < join_attempts; ++attempt) {
    if (::mkdir(group.c_str(), 0755) != 0 && errno != EEXIST) return false;
    if (!set_least_weight(group, unified)) {
      if (::access(group.c_str(), F_OK) != 0) continue;  // removed meanwhile
      return false;                                      // never join a group that is not idle
    }
    // "0" is the writing process itself.
    const int error = write_small_file(procs.c_str(), "0");
    if (error == 0) return true;
    if (error != ENOENT && error != ENODEV) return false;
  }
  return false;
}

void remove_idle_group(const std::string& group) {
  if (!group.empty()) ::rmdir(group.c_str());
}

}  // namespace lull::platform
