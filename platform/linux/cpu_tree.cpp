// The wrappers' own idle group in a control-group tree they may write. Linux
// code only.
#include "platform/linux/cpu_tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <string_view>

#include "platform/linux/text_file.h"

namespace lull::platform {
namespace {

constexpr const char* idle_group_name = "lullrun-idle";
constexpr int join_attempts = 8;

// A control-group hierarchy that carries the cpu controller.
struct CpuHierarchy {
  std::string mount_point;
  std::string mount_root;  // the part of the tree the mount shows
  bool unified = false;
};

bool holds_word(std::string_view list, std::string_view word, char separator) {
  for (std::size_t begin = 0; begin <= list.size();) {
    std::size_t end = list.find(separator, begin);
    if (end == std::string_view::npos) end = list.size();
    if (list.substr(begin, end - begin) == word) return true;
    begin = end + 1;
  }
  return false;
}

// mountinfo writes blanks and a few other characters in paths as \NNN.
std::string unescaped(std::string_view text) {
  const auto octal = [](char c) { return c >= '0' && c <= '7'; };
  std::string plain;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() && octal(text[i + 1]) && octal(text[i + 2]) &&
        octal(text[i + 3])) {
      plain.push_back(static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 +
                                        (text[i + 3] - '0')));
      i += 3;
    } else {
      plain.push_back(text[i]);
    }
  }
  return plain;
}

// The `index`th field of `text` separated by blanks, or "".
std::string_view field_of(std::string_view text, int index) {
  std::size_t begin = 0;
  for (int i = 0;; ++i) {
    begin = text.find_first_not_of(' ', begin);
    if (begin == std::string_view::npos) return {};
    const std::size_t end = std::min(text.find(' ', begin), text.size());
    if (i == index) return text.substr(begin, end - begin);
    begin = end;
  }
}

// The cpu controller's hierarchy, from /proc/self/mountinfo: a v1 mount with
// "cpu" among its options (alone or with cpuacct), else the v2 mount, where
// the controller may be on for some groups' children.
bool find_cpu_hierarchy(CpuHierarchy& found) {
  bool have_v1 = false;
  bool have_unified = false;
  CpuHierarchy unified;
  for_each_line(read_text("/proc/self/mountinfo"), [&](std::string_view line) {
    // id parent major:minor root mount-point options [optional...] - type source super-options
    const std::size_t dash = line.find(" - ");
    if (have_v1 || dash == std::string_view::npos) return;
    const std::string_view before = line.substr(0, dash);
    const std::string_view after = line.substr(dash + 3);
    const std::string_view type = field_of(after, 0);
    CpuHierarchy hierarchy{unescaped(field_of(before, 4)), unescaped(field_of(before, 3)),
                           type == "cgroup2"};
    if (type == "cgroup" && holds_word(field_of(after, 2), "cpu", ',')) {
      found = hierarchy;
      have_v1 = true;
    } else if (hierarchy.unified && !have_unified) {
      unified = hierarchy;
      have_unified = true;
    }
  });
  if (!have_v1 && have_unified) found = unified;
  return have_v1 || have_unified;
}

// The wrapper's own group in that hierarchy, from /proc/self/cgroup.
bool find_own_group(bool unified, std::string& group) {
  bool found = false;
  for_each_line(read_text("/proc/self/cgroup"), [&](std::string_view line) {
    const std::size_t first = line.find(':');
    const std::size_t second = line.find(':', first + 1);
    if (found || first == std::string_view::npos || second == std::string_view::npos) return;
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    const bool matches = unified ? line.substr(0, first) == "0" && controllers.empty()
                                 : holds_word(controllers, "cpu", ',');
    if (matches) {
      group = line.substr(second + 1);
      found = true;
    }
  });
  return found;
}

bool cpu_on_for_children(const std::string& folder, bool unified) {
  if (!unified) return true;
  std::string enabled = read_text(folder + "/cgroup.subtree_control");
  if (!enabled.empty() && enabled.back() == '\n') enabled.pop_back();
  return holds_word(enabled, "cpu", ' ');
}

// A group may be made below `folder` and a process moved there from below it:
// the folder is writable, and in v2 so is its cgroup.procs, as delegation
// asks of the common ancestor.
bool may_write(const std::string& folder, bool unified) {
  return ::access(folder.c_str(), W_OK) == 0 &&
         (!unified || ::access((folder + "/cgroup.procs").c_str(), W_OK) == 0);
}

// Writes `text` to a control file; 0, or the errno of the failure.
int write_control(const std::string& path, std::string_view text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  ssize_t written = 0;
  do {
    written = ::write(fd, text.data(), text.size());
  } while (written < 0 && errno == EINTR);
  const int error = written < 0 ? errno : 0;
  ::close(fd);
  return error;
}

// cpu.idle where the kernel has it (5.15 on); else the least weight there is.
bool make_idle(const std::string& group, bool unified) {
  if (write_control(group + "/cpu.idle", "1") == 0) return true;
  return unified ? write_control(group + "/cpu.weight", "1") == 0
                 : write_control(group + "/cpu.shares", "2") == 0;
}

}  // namespace

std::string choose_idle_group(bool& unified) {
  CpuHierarchy hierarchy;
  std::string own;
  if (!find_cpu_hierarchy(hierarchy) || !find_own_group(hierarchy.unified, own)) return {};
  // The mount may show only part of the tree; our group must lie inside it.
  std::string_view relative = own;
  if (hierarchy.mount_root != "/") {
    if (relative.substr(0, hierarchy.mount_root.size()) != hierarchy.mount_root) return {};
    relative.remove_prefix(hierarchy.mount_root.size());
  }
  // From the top of the hierarchy down to our own group: the first level
  // that qualifies is the highest.
  std::string level = hierarchy.mount_point;
  for (std::size_t next = 0;;) {
    if (cpu_on_for_children(level, hierarchy.unified) && may_write(level, hierarchy.unified)) {
      unified = hierarchy.unified;
      return level + "/" + idle_group_name;
    }
    while (next < relative.size() && relative[next] == '/') ++next;
    if (next >= relative.size()) return {};
    std::size_t end = relative.find('/', next);
    if (end == std::string_view::npos) end = relative.size();
    level.append("/").append(relative.substr(next, end - next));
    next = end;
  }
}

bool join_idle_group(const std::string& group, bool unified) {
  const std::string procs = group + "/cgroup.procs";
  for (int attempt = 0; attempt < join_attempts; ++attempt) {
    if (::mkdir(group.c_str(), 0755) != 0 && errno != EEXIST) return false;
    if (!make_idle(group, unified)) {
      if (::access(group.c_str(), F_OK) != 0) continue;  // removed meanwhile
      return false;                                      // never join a group that is not idle
    }
    // "0" is the writing process itself.
    const int error = write_control(procs, "0");
    if (error == 0) return true;
    if (error != ENOENT && error != ENODEV) return false;
  }
  return false;
}

void remove_idle_group(const std::string& group) {
  if (!group.empty()) ::rmdir(group.c_str());
}

}  // namespace lull::platform
