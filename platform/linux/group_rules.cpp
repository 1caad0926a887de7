// The rules a control group carries besides its limits. Linux code only.
#include "platform/linux/group_rules.h"

#include <fcntl.h>
#include <linux/bpf.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/diagnostics.h"
#include "platform/linux/text_file.h"

namespace lull::platform {
namespace {

// Every kind of program the kernel attaches to a control group. A kernel
// that lacks a kind refuses the query with EINVAL: nothing of that kind can
// be in effect there.
constexpr std::array cgroup_attach_types{
    BPF_CGROUP_INET_INGRESS,
    BPF_CGROUP_INET_EGRESS,
    BPF_CGROUP_INET_SOCK_CREATE,
    BPF_CGROUP_SOCK_OPS,
    BPF_CGROUP_DEVICE,
    BPF_CGROUP_INET4_BIND,
    BPF_CGROUP_INET6_BIND,
    BPF_CGROUP_INET4_CONNECT,
    BPF_CGROUP_INET6_CONNECT,
    BPF_CGROUP_INET4_POST_BIND,
    BPF_CGROUP_INET6_POST_BIND,
    BPF_CGROUP_UDP4_SENDMSG,
    BPF_CGROUP_UDP6_SENDMSG,
    BPF_CGROUP_SYSCTL,
    BPF_CGROUP_UDP4_RECVMSG,
    BPF_CGROUP_UDP6_RECVMSG,
    BPF_CGROUP_GETSOCKOPT,
    BPF_CGROUP_SETSOCKOPT,
    BPF_CGROUP_INET4_GETPEERNAME,
    BPF_CGROUP_INET6_GETPEERNAME,
    BPF_CGROUP_INET4_GETSOCKNAME,
    BPF_CGROUP_INET6_GETSOCKNAME,
    BPF_CGROUP_INET_SOCK_RELEASE,
    BPF_LSM_CGROUP,
};

// The kernel keeps at most 64 programs of one kind in effect on a group.
using ProgramIds = std::array<std::uint32_t, 64>;

// The ids of the programs of `type` in effect on the group open as `group`
// (its own and its ancestors'); their count, 0 for a kind the kernel lacks,
// or -1 when the kernel refuses to say.
int programs_in_effect(int group, bpf_attach_type type, ProgramIds& ids) {
  bpf_attr query{};
  query.query.target_fd = static_cast<std::uint32_t>(group);
  query.query.attach_type = type;
  query.query.query_flags = BPF_F_QUERY_EFFECTIVE;
  query.query.prog_ids = reinterpret_cast<std::uintptr_t>(ids.data());
  query.query.prog_cnt = ids.size();
  if (::syscall(SYS_bpf, BPF_PROG_QUERY, &query, sizeof query) == 0)
    return static_cast<int>(query.query.prog_cnt);
  return errno == EINVAL ? 0 : -1;
}

// Whether each program in effect on `own` is in effect on `parent` too.
bool programs_hold_at(const std::string& own, const std::string& parent) {
  const int own_fd = ::open(own.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const int parent_fd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  bool hold = own_fd >= 0 && parent_fd >= 0;
  if (!hold) diagnose("rules: cannot open %s or %s", own.c_str(), parent.c_str());
  for (const bpf_attach_type type : cgroup_attach_types) {
    if (!hold) break;
    ProgramIds mine{};
    ProgramIds theirs{};
    const int count = programs_in_effect(own_fd, type, mine);
    const int parents = count > 0 ? programs_in_effect(parent_fd, type, theirs) : 0;
    if (count < 0 || parents < 0) {
      diagnose("rules: the kernel does not say which programs of kind %d are in effect",
               static_cast<int>(type));
      hold = false;
    }
    for (int i = 0; hold && i < count; ++i) {
      const auto end = theirs.begin() + parents;
      if (std::find(theirs.begin(), end, mine[static_cast<std::size_t>(i)]) != end) continue;
      diagnose("rules: program %u of kind %d is in effect on the wrapper's group, not on %s",
               mine[static_cast<std::size_t>(i)], static_cast<int>(type), parent.c_str());
      hold = false;
    }
  }
  if (own_fd >= 0) ::close(own_fd);
  if (parent_fd >= 0) ::close(parent_fd);
  return hold;
}

// The folder of `group` in `hierarchy`, or of its nearest ancestor that
// exists there: a group made at `group` starts with what holds there.
std::string nearest_folder(const Hierarchy& hierarchy, std::string group) {
  std::string folder = hierarchy.folder_of(group);
  while (group.size() > 1 && ::access(folder.c_str(), F_OK) != 0) {
    group.resize(std::max<std::size_t>(group.rfind('/'), 1));
    folder = hierarchy.folder_of(group);
  }
  return folder;
}

// A v1 device list holds below `parent` only where it is the same there.
bool devices_hold_at(const Hierarchy& devices, const std::string& parent) {
  const std::string own = devices.folder_of(devices.own);
  const std::string there = nearest_folder(devices, parent);
  const std::string mine = read_text(own + "/devices.list");
  if (!own.empty() && !there.empty() && mine == read_text(there + "/devices.list")) return true;
  diagnose("rules: the device list of the wrapper's group is not the one at %s", parent.c_str());
  return false;
}

}  // namespace

bool rules_hold_at(const std::vector<Hierarchy>& hierarchies, const std::string& parent) {
  for (const Hierarchy& hierarchy : hierarchies) {
    if (hierarchy.unified) {
      const std::string own = hierarchy.folder_of(hierarchy.own);
      const std::string there = nearest_folder(hierarchy, parent);
      if (own.empty() || there.empty()) {
        diagnose("rules: the cgroup2 mount does not show the wrapper's group or %s",
                 parent.c_str());
        return false;
      }
      if (!programs_hold_at(own, there)) return false;
    } else if (hierarchy.has("devices") && !devices_hold_at(hierarchy, parent)) {
      return false;
    }
  }
  return true;
}

std::string outermost_oom_group(const std::vector<Hierarchy>& hierarchies) {
  const auto v2 = std::ranges::find_if(hierarchies, &Hierarchy::unified);
  if (v2 == hierarchies.end()) return {};
  // From the top this namespace shows, which is a container's own group
  // inside one (the tree's real root has no such file), down to our own.
  std::string group = "/";
  const std::vector<std::string_view> parts = path_parts(v2->own);
  for (std::size_t depth = 0; depth <= parts.size(); ++depth) {
    if (depth > 0) group.append(depth > 1 ? "/" : "").append(parts[depth - 1]);
    const std::string folder = v2->folder_of(group);
    if (!folder.empty() && read_text(folder + "/memory.oom.group", 16).starts_with("1"))
      return folder;
  }
  return {};
}

}  // namespace lull::platform
