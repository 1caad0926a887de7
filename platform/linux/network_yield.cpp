// The job's network programs (cgroup BPF), loaded through libbpf at run time
// and attached to the job's leaf by the wrapper. Linux code only.
#include "platform/linux/network_yield.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/diagnostics.h"
#include "platform/linux/cgroups.h"
#include "platform/linux/loaded_library.h"
#include "platform/linux/network_yield_object.h"  // generated: the programs, compiled
#include "platform/linux/placement.h"
#include "platform/linux/text_file.h"

namespace lull::platform {
namespace {

// What the object's "settings" variable holds (platform/linux/bpf/
// network_yield.bpf.c keeps the same layout).
struct ObjectSettings {
  std::array<char, congestion_name_size> congestion{};
  std::uint32_t traffic_class = 0;
  std::uint32_t mark = 0;
  std::uint32_t set_congestion = 0;
  std::uint32_t steer_window = 0;
};

// The name the object carries until the wrapper writes its own in.
constexpr std::string_view name_placeholder{"lullrun_0000000", congestion_name_size};

// Attach types and flags newer than Debian 12's kernel headers.
constexpr int attach_struct_ops = 44;              // BPF_STRUCT_OPS (Linux 6.4)
constexpr std::uint32_t map_flag_link = 1U << 13;  // BPF_F_LINK

// libbpf, loaded only where the programs are wanted (root, and the switch
// on): an ordinary user's wrapper never maps it.
struct LibBpf {
  decltype(&libbpf_set_print) set_print = nullptr;
  decltype(&bpf_object__open_mem) open_mem = nullptr;
  decltype(&bpf_object__load) load = nullptr;
  decltype(&bpf_object__close) close = nullptr;
  decltype(&bpf_object__find_map_by_name) find_map = nullptr;
  decltype(&bpf_object__find_program_by_name) find_program = nullptr;
  decltype(&bpf_map__set_map_flags) set_map_flags = nullptr;
  decltype(&bpf_map__set_autocreate) set_autocreate = nullptr;
  decltype(&bpf_map__initial_value) initial_value = nullptr;
  decltype(&bpf_map__set_initial_value) set_initial_value = nullptr;
  decltype(&bpf_map__attach_struct_ops) attach_struct_ops = nullptr;
  decltype(&bpf_map__fd) map_fd = nullptr;
  decltype(&bpf_program__set_autoload) set_autoload = nullptr;
  decltype(&bpf_program__fd) program_fd = nullptr;
  decltype(&bpf_link__destroy) destroy_link = nullptr;
  decltype(&bpf_link_create) link_create = nullptr;

  // The library stays mapped for the wrapper's life: the links it made are
  // destroyed through it at the end.
  bool load_library() {
    void* library = ::dlopen("libbpf.so.1", RTLD_NOW | RTLD_LOCAL);
    return library != nullptr && bind_symbol(library, "libbpf_set_print", set_print) &&
           bind_symbol(library, "bpf_object__open_mem", open_mem) &&
           bind_symbol(library, "bpf_object__load", load) &&
           bind_symbol(library, "bpf_object__close", close) &&
           bind_symbol(library, "bpf_object__find_map_by_name", find_map) &&
           bind_symbol(library, "bpf_object__find_program_by_name", find_program) &&
           bind_symbol(library, "bpf_map__set_map_flags", set_map_flags) &&
           bind_symbol(library, "bpf_map__set_autocreate", set_autocreate) &&
           bind_symbol(library, "bpf_map__initial_value", initial_value) &&
           bind_symbol(library, "bpf_map__set_initial_value", set_initial_value) &&
           bind_symbol(library, "bpf_map__attach_struct_ops", attach_struct_ops) &&
           bind_symbol(library, "bpf_map__fd", map_fd) &&
           bind_symbol(library, "bpf_program__set_autoload", set_autoload) &&
           bind_symbol(library, "bpf_program__fd", program_fd) &&
           bind_symbol(library, "bpf_link__destroy", destroy_link) &&
           bind_symbol(library, "bpf_link_create", link_create);
  }
};

// libbpf's own messages: the verifier's reasons, with LULLRUN_DEBUG; else
// nothing, as the programs print nothing.
int forward_libbpf_line(libbpf_print_level level, const char* format, va_list arguments) {
  if (level == LIBBPF_DEBUG) return 0;
  std::array<char, 512> line{};
  (void)std::vsnprintf(line.data(), line.size(), format, arguments);
  std::string_view text(line.data());
  while (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  diagnose("network: libbpf: %.*s", static_cast<int>(text.size()), text.data());
  return 0;
}

// The object with `name` in place of the placeholder, wherever it stands
// (the congestion control's own name, and the settings' copy of it).
std::vector<char> object_named(const std::string& name) {
  std::vector<char> object(network_yield_object, network_yield_object + network_yield_object_size);
  std::array<char, congestion_name_size> replacement{};
  std::copy_n(name.begin(), std::min(name.size(), replacement.size() - 1), replacement.begin());
  auto at = object.begin();
  while ((at = std::search(at, object.end(), name_placeholder.begin(), name_placeholder.end())) !=
         object.end())
    at = std::copy(replacement.begin(), replacement.end(), at);
  return object;
}

}  // namespace

std::string own_congestion_name(pid_t wrapper) {
  std::array<char, congestion_name_size> name{};
  (void)std::snprintf(name.data(), name.size(), "lullrun_%07x",
                      static_cast<unsigned>(wrapper) & 0xfffffffU);
  return name.data();
}

std::string kernel_yielding_congestion(const std::string& available) {
  std::vector<std::string_view> names;
  std::string_view rest(available);
  while (!rest.empty()) {
    const std::size_t end = rest.find_first_of(" \n\t");
    if (end != 0) names.push_back(rest.substr(0, end));
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  for (const char* wanted : {"vegas", "nv"}) {
    if (std::find(names.begin(), names.end(), wanted) != names.end()) return wanted;
  }
  return {};
}

namespace {

// The most links the child passes: two programs' and the congestion control's.
constexpr std::size_t most_links = 4;

// The loaded programs and what holds them attached.
struct Loaded {
  LibBpf api;
  bpf_object* object = nullptr;
  bpf_link* registration = nullptr;  // the congestion control's values, filled in
  int congestion_link = -1;          // the congestion control, registered while open
  std::vector<int> cgroup_links;
  std::string congestion;   // the name the sockets are given; "" when none
  std::vector<char> bytes;  // the object as opened: libbpf reads it until loaded

  ~Loaded() {
    for (const int link : cgroup_links) ::close(link);
    if (congestion_link >= 0) ::close(congestion_link);
    if (registration != nullptr) api.destroy_link(registration);
    if (object != nullptr) api.close(object);
  }

  // Opens and loads the object: with a congestion control of its own named
  // `name` when `own`, else with the kernel's `name` ("" for none). 0 or an
  // errno.
  int load(bool own, const std::string& name) {
    bytes = object_named(own ? name : std::string("unused"));
    object = api.open_mem(bytes.data(), bytes.size(), nullptr);
    if (object == nullptr) return errno != 0 ? errno : EINVAL;
    bpf_map* operations = api.find_map(object, "yielding");
    bpf_map* data = api.find_map(object, ".data");
    std::size_t size = 0;
    const void* initial = data != nullptr ? api.initial_value(data, &size) : nullptr;
    if (operations == nullptr || initial == nullptr || size != sizeof(ObjectSettings))
      return EINVAL;
    ObjectSettings settings;
    std::memcpy(&settings, initial, sizeof settings);
    settings.traffic_class = yield_dscp << 2;
    settings.mark = yield_mark;
    settings.set_congestion = name.empty() ? 0 : 1;
    settings.steer_window = 1;
    settings.congestion.fill('\0');
    std::copy_n(name.begin(), std::min(name.size(), congestion_name_size - 1),
                settings.congestion.begin());
    if (api.set_initial_value(data, &settings, sizeof settings) != 0) return EINVAL;
    if (own) {
      // Registered through a link of its own, which unregisters it when the
      // wrapper's descriptors close, however the wrapper ends.
      api.set_map_flags(operations, map_flag_link);
    } else {
      api.set_autocreate(operations, false);
      for (const char* program : {"yield_init", "yield_pkts_acked", "yield_cong_avoid",
                                  "yield_ssthresh", "yield_undo_cwnd"}) {
        if (bpf_program* found = api.find_program(object, program)) api.set_autoload(found, false);
      }
    }
    const int loaded = api.load(object);
    if (loaded != 0) return -loaded;
    if (own) {
      registration = api.attach_struct_ops(operations);
      if (registration == nullptr) return errno != 0 ? errno : EINVAL;
      congestion_link = api.link_create(api.map_fd(operations), 0,
                                        static_cast<bpf_attach_type>(attach_struct_ops), nullptr);
      if (congestion_link < 0) return -congestion_link;
    }
    congestion = name;
    return 0;
  }

  void unload() {
    if (registration != nullptr) api.destroy_link(std::exchange(registration, nullptr));
    if (object != nullptr) api.close(std::exchange(object, nullptr));
  }

  // Attaches the socket programs to the group at `folder`: 0 or an errno.
  int attach_to(const std::string& folder) {
    const int group = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (group < 0) return errno;
    int error = 0;
    for (const auto& [program, type] :
         {std::pair{"job_sockops", BPF_CGROUP_SOCK_OPS},
          std::pair{"job_sock_create", BPF_CGROUP_INET_SOCK_CREATE}}) {
      bpf_program* found = api.find_program(object, program);
      const int link =
          found != nullptr ? api.link_create(api.program_fd(found), group, type, nullptr) : -EINVAL;
      if (link < 0) {
        error = -link;
        break;
      }
      cgroup_links.push_back(link);
    }
    ::close(group);
    return error;
  }
};

// Loads the programs: 0, or the reason they could not be.
const char* load_programs(Loaded& loaded, pid_t wrapper) {
  if (!loaded.api.load_library()) return "no libbpf.so.1";
  loaded.api.set_print(diagnostics_wanted() ? forward_libbpf_line : nullptr);
  int error = loaded.load(true, own_congestion_name(wrapper));
  if (error != 0) {
    diagnose("network: no congestion control of our own: %s", std::strerror(error));
    loaded.unload();
    error = loaded.load(false, kernel_yielding_congestion(read_text(
                                   "/proc/sys/net/ipv4/tcp_available_congestion_control")));
  }
  return error != 0 ? "the kernel refused the programs" : nullptr;
}

// The leaf `child` is in once placed, after its word on `gate`; "" when it
// is not in its leaf (or ended first).
std::string placed_leaf(int gate, pid_t child, const PlacementPlan& plan) {
  char byte = 0;
  ssize_t got = 0;
  do {
    got = ::read(gate, &byte, 1);
  } while (got < 0 && errno == EINTR);
  const std::string group = unified_group(child);
  if (got != 1 || !group.ends_with("/" + plan.leaf_name)) return {};
  return plan.unified_tree.folder_of(group);
}

// One byte, and the descriptors with it.
void send_descriptors(int socket, const std::vector<int>& descriptors) {
  char byte = static_cast<char>(descriptors.size());
  iovec data{&byte, 1};
  std::array<char, CMSG_SPACE(sizeof(int) * most_links)> control{};
  msghdr message{};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  if (!descriptors.empty() && descriptors.size() <= most_links) {
    message.msg_control = control.data();
    message.msg_controllen = CMSG_SPACE(sizeof(int) * descriptors.size());
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int) * descriptors.size());
    std::memcpy(CMSG_DATA(header), descriptors.data(), sizeof(int) * descriptors.size());
  }
  while (::sendmsg(socket, &message, MSG_NOSIGNAL) < 0 && errno == EINTR) {
  }
}

// The descriptors the child sent, close-on-exec; none when it sent none,
// or went without a word.
std::vector<int> receive_descriptors(int socket) {
  char byte = 0;
  iovec data{&byte, 1};
  std::array<char, CMSG_SPACE(sizeof(int) * most_links)> control{};
  msghdr message{};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control.data();
  message.msg_controllen = control.size();
  ssize_t got = 0;
  do {
    got = ::recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
  } while (got < 0 && errno == EINTR);
  std::vector<int> descriptors;
  if (got <= 0) return descriptors;
  for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
       header = CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) continue;
    const std::size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    descriptors.resize(descriptors.size() + count);
    std::memcpy(descriptors.data() + descriptors.size() - count, CMSG_DATA(header),
                count * sizeof(int));
  }
  return descriptors;
}

}  // namespace

NetworkYield::NetworkYield() = default;
NetworkYield::~NetworkYield() {
  if (wrapper_end_ >= 0) ::close(wrapper_end_);
  if (child_end_ >= 0) ::close(child_end_);
  release();
}

void NetworkYield::plan(const PlacementPlan& plan) {
  const char* setting = std::getenv("LULLRUN_NETWORK");
  const char* refusal =
      setting != nullptr && std::string_view(setting) == "0" ? "LULLRUN_NETWORK is 0"
      : ::geteuid() != 0       ? "only root may attach programs to the job's group"
      : plan.leaf_name.empty() ? "the job will have no leaf of its own"
      : !plan.single_threaded  ? "the wrapper had threads: a fork of it may not load a library"
                               : nullptr;
  if (refusal != nullptr) {
    diagnose("network: none: %s", refusal);
    return;
  }
  int ends[2] = {-1, -1};
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    diagnose("network: none: no way to pass the programs (%s)", std::strerror(errno));
    return;
  }
  wrapper_end_ = ends[0];
  child_end_ = ends[1];
  wrapper_ = ::getpid();
}

void NetworkYield::wait_for_programs() const {
  if (child_end_ < 0) return;
  // The wrapper's end is closed here, so that the read below ends when the
  // loader is done, or gone, whatever it was doing.
  ::close(wrapper_end_);
  // Sent without SIGPIPE: a loader already gone (killed by a system-call
  // filter for its first bpf()) must not take the child with it.
  char byte = 1;
  while (::send(child_end_, &byte, 1, MSG_NOSIGNAL) < 0 && errno == EINTR) {
  }
  while (::read(child_end_, &byte, 1) < 0 && errno == EINTR) {
  }
  ::close(child_end_);
}

// The loader, a fork of the wrapper: loads the programs while the child
// places itself, attaches them to its leaf, passes the links to the wrapper
// through `links_out`, and ends, which lets the child go on.
void NetworkYield::run_loader(pid_t child, const PlacementPlan& plan, int links_out) const {
  Loaded loaded;
  const char* failed = load_programs(loaded, wrapper_);
  const std::string leaf = placed_leaf(wrapper_end_, child, plan);
  int error = 0;
  if (failed == nullptr && leaf.empty()) failed = "the job is not in its leaf";
  if (failed == nullptr && (error = loaded.attach_to(leaf)) != 0) failed = "not attached";
  if (failed != nullptr) {
    diagnose("network: none: %s%s%s", failed, error != 0 ? ": " : "",
             error != 0 ? std::strerror(error) : "");
    return;
  }
  diagnose("network: %s: DSCP %u and mark %#x on every socket, congestion control %s", leaf.c_str(),
           yield_dscp, yield_mark,
           loaded.congestion.empty() ? "unchanged (none that yields)" : loaded.congestion.c_str());
  std::vector<int> links = loaded.cgroup_links;
  if (loaded.congestion_link >= 0) links.push_back(loaded.congestion_link);
  send_descriptors(links_out, links);
}

void NetworkYield::attach(pid_t child, const PlacementPlan& plan) {
  if (wrapper_end_ < 0) return;
  ::close(std::exchange(child_end_, -1));
  // The loading happens in a process of its own, at the wrapper's priority
  // (the child is in its idle group by now): the library and the kernel's
  // type information it reads (megabytes) never enter the watching wrapper.
  int links[2] = {-1, -1};
  const pid_t loader =
      child > 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, links) == 0 ? ::fork() : -1;
  if (loader == 0) {
    ::close(links[0]);
    run_loader(child, plan, links[1]);
    ::_exit(0);
  }
  ::close(std::exchange(wrapper_end_, -1));
  if (links[1] >= 0) ::close(links[1]);
  if (loader > 0) links_ = receive_descriptors(links[0]);
  if (links[0] >= 0) ::close(links[0]);
  while (loader > 0 && ::waitpid(loader, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// Letting go of the congestion control waits for the kernel's grace period
// (15 to 25 ms here). The wrapper waits for it itself rather than leave a
// process of its own behind it: a supervisor that reaps orphans, or a caller
// that counts what the wrapper left, would find one after the wrapper ended.
void NetworkYield::release() {
  for (const int link : links_) ::close(link);
  links_.clear();
}

}  // namespace lull::platform
