// A transient scope from the service manager over D-Bus, through libsystemd's
// sd-bus, loaded only where a bus is there to talk to. Linux code only.
#include "platform/linux/service_manager.h"

#include <dlfcn.h>
#include <sys/socket.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/diagnostics.h"
#include "platform/linux/cgroups.h"
#include "platform/linux/loaded_library.h"
#include "platform/linux/text_file.h"

namespace lull::platform {
namespace {

constexpr std::uint64_t talk_budget_usec = 1000000;  // connect, match, call, retry, wait
constexpr int unit_name_tries = 3;
constexpr std::size_t max_unit_name = 255;
constexpr const char* manager_name = "org.freedesktop.systemd1";
constexpr const char* manager_path = "/org/freedesktop/systemd1";
constexpr const char* manager_interface = "org.freedesktop.systemd1.Manager";
// The system manager's own socket, and the system bus at its fixed place.
// Neither is taken from the environment, which root's caller may set.
constexpr const char* manager_socket = "/run/systemd/private";
constexpr const char* system_bus_socket = "/run/dbus/system_bus_socket";

// The part of sd-bus the talk needs, bound by name from the shared library.
// Everything here is in libsystemd 237 and later.
struct SdBus {
  decltype(&sd_bus_new) create = nullptr;
  decltype(&sd_bus_set_address) set_address = nullptr;
  decltype(&sd_bus_set_bus_client) set_bus_client = nullptr;
  decltype(&sd_bus_start) start = nullptr;
  decltype(&sd_bus_get_fd) get_fd = nullptr;
  decltype(&sd_bus_close) close = nullptr;
  decltype(&sd_bus_unref) unref = nullptr;
  decltype(&sd_bus_match_signal_async) match_signal_async = nullptr;
  decltype(&sd_bus_message_new_method_call) new_method_call = nullptr;
  decltype(&sd_bus_message_append) append = nullptr;
  decltype(&sd_bus_message_open_container) open_container = nullptr;
  decltype(&sd_bus_message_close_container) close_container = nullptr;
  decltype(&sd_bus_call_async) call_async = nullptr;
  decltype(&sd_bus_message_unref) message_unref = nullptr;
  decltype(&sd_bus_process) process = nullptr;
  decltype(&sd_bus_wait) wait = nullptr;
  decltype(&sd_bus_message_get_error) get_error = nullptr;
  decltype(&sd_bus_message_read) read = nullptr;
  decltype(&sd_bus_message_ref) message_ref = nullptr;
  decltype(&sd_bus_message_enter_container) enter_container = nullptr;
  decltype(&sd_bus_message_at_end) at_end = nullptr;

  bool load() {
    // The child execs right after the talk, which drops the library: it is
    // never closed.
    void* library = ::dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
    return library != nullptr && bind_symbol(library, "sd_bus_new", create) &&
           bind_symbol(library, "sd_bus_set_address", set_address) &&
           bind_symbol(library, "sd_bus_set_bus_client", set_bus_client) &&
           bind_symbol(library, "sd_bus_start", start) &&
           bind_symbol(library, "sd_bus_get_fd", get_fd) &&
           bind_symbol(library, "sd_bus_close", close) &&
           bind_symbol(library, "sd_bus_unref", unref) &&
           bind_symbol(library, "sd_bus_match_signal_async", match_signal_async) &&
           bind_symbol(library, "sd_bus_message_new_method_call", new_method_call) &&
           bind_symbol(library, "sd_bus_message_append", append) &&
           bind_symbol(library, "sd_bus_message_open_container", open_container) &&
           bind_symbol(library, "sd_bus_message_close_container", close_container) &&
           bind_symbol(library, "sd_bus_call_async", call_async) &&
           bind_symbol(library, "sd_bus_message_unref", message_unref) &&
           bind_symbol(library, "sd_bus_process", process) &&
           bind_symbol(library, "sd_bus_wait", wait) &&
           bind_symbol(library, "sd_bus_message_get_error", get_error) &&
           bind_symbol(library, "sd_bus_message_read", read) &&
           bind_symbol(library, "sd_bus_message_ref", message_ref) &&
           bind_symbol(library, "sd_bus_message_enter_container", enter_container) &&
           bind_symbol(library, "sd_bus_message_at_end", at_end);
  }
};

std::uint64_t now_usec() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000 +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000;
}

// A connection that only starts connecting; nothing here waits for the other
// side. A bus client says Hello to a bus daemon; a direct connection to the
// manager does not.
sd_bus* open_bus(const SdBus& api, const std::string& address, bool bus_client) {
  sd_bus* bus = nullptr;
  if (api.create(&bus) < 0) return nullptr;
  if (api.set_address(bus, address.c_str()) >= 0 &&
      (!bus_client || api.set_bus_client(bus, 1) >= 0) && api.start(bus) >= 0)
    return bus;
  diagnose("service manager: cannot connect to %s", address.c_str());
  api.unref(bus);
  return nullptr;
}

void close_bus(const SdBus& api, sd_bus* bus) {
  // Closing does not flush: a flush would wait without a deadline.
  api.close(bus);
  api.unref(bus);
}

// Who serves a socket, as seen from our own pid namespace. A socket served
// from outside it (a container's view of its host's) has a peer the kernel
// cannot name here: pid 0.
ucred peer_of(const SdBus& api, sd_bus* bus) {
  ucred peer{};
  socklen_t size = sizeof peer;
  const int fd = api.get_fd(bus);
  if (fd < 0 || ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return {};
  return peer;
}

// The connection to the manager the request names, or nullptr. `direct`
// tells a connection to the manager's own socket, whose messages carry no
// sender. For root, only the manager that booted this machine: its own
// socket served by process 1 of our pid namespace, running as root; else the
// system bus, when its daemon is a process of our pid namespace.
sd_bus* connect(const SdBus& api, const ScopeRequest& request, bool& direct) {
  direct = false;
  if (request.manager == ScopeRequest::Manager::user) return open_bus(api, request.user_bus, true);
  const bool private_socket = ::access(manager_socket, F_OK) == 0;
  direct = private_socket;
  const std::string address =
      std::string("unix:path=") + (private_socket ? manager_socket : system_bus_socket);
  sd_bus* bus = open_bus(api, address, !private_socket);
  if (bus == nullptr) return nullptr;
  const ucred peer = peer_of(api, bus);
  if (private_socket ? peer.pid == 1 && peer.uid == 0 : peer.pid > 0) return bus;
  diagnose("service manager: %s is not served from this pid namespace%s: not asked",
           address.c_str(), private_socket ? " by process 1" : "");
  close_bus(api, bus);
  return nullptr;
}

// One conversation with the manager: the answer to the latest call, and
// every job that ended so far (an end may come before the answer that names
// its job).
struct Talk {
  const SdBus& api;
  sd_bus* bus;
  std::uint64_t deadline;
  struct Answer {
    bool arrived = false;
    sd_bus_message* reply = nullptr;  // held until the next call
    std::string error_name, error_message;
  } answer;
  std::vector<std::pair<std::string, std::string>> ended;  // job, result

  void forget_answer() {
    if (answer.reply != nullptr) api.message_unref(answer.reply);
    answer = {};
  }
};

int on_answer(sd_bus_message* message, void* userdata, sd_bus_error* /*unused*/) {
  Talk& talk = *static_cast<Talk*>(userdata);
  Talk::Answer& answer = talk.answer;
  answer.arrived = true;
  if (const sd_bus_error* error = talk.api.get_error(message); error != nullptr) {
    answer.error_name = error->name != nullptr ? error->name : "";
    answer.error_message = error->message != nullptr ? error->message : "";
    return 0;
  }
  answer.reply = talk.api.message_ref(message);
  return 0;
}

int on_job_removed(sd_bus_message* signal, void* userdata, sd_bus_error* /*unused*/) {
  Talk& talk = *static_cast<Talk*>(userdata);
  std::uint32_t id = 0;
  const char* job = nullptr;
  const char* unit = nullptr;
  const char* result = nullptr;
  if (talk.api.read(signal, "uoss", &id, &job, &unit, &result) >= 0 && job != nullptr &&
      result != nullptr)
    talk.ended.emplace_back(job, result);
  return 0;
}

// Runs the bus until `done` holds; false when the deadline passed first or
// the bus broke. Every wait is bounded by the deadline, so a bus that never
// speaks cannot hold us.
template <typename Done>
bool run_until(Talk& talk, Done done) {
  while (!done()) {
    const std::uint64_t now = now_usec();
    if (now >= talk.deadline) return false;
    const int r = talk.api.process(talk.bus, nullptr);
    if (r < 0) return false;
    if (r > 0) continue;
    if (talk.api.wait(talk.bus, talk.deadline - now) < 0) return false;
  }
  return true;
}

// Why a call got no reply: the message could not be built (a string that is
// no valid UTF-8, for one), it could not be sent (the connection broke), or
// no answer came in time.
enum class Sent { answered, not_built, not_sent, no_answer };

// Sends `message` (built as far as `built` says, and released here) and waits
// for its answer: a reply in talk.answer.reply, or an error's name.
Sent call(Talk& talk, sd_bus_message* message, int built) {
  talk.forget_answer();
  const std::uint64_t now = now_usec();
  int sent = -1;
  if (built >= 0 && now < talk.deadline)
    sent = talk.api.call_async(talk.bus, nullptr, message, on_answer, &talk, talk.deadline - now);
  talk.api.message_unref(message);
  if (built < 0) return Sent::not_built;
  if (now >= talk.deadline) return Sent::no_answer;
  if (sent < 0) {
    talk.answer.error_message = std::strerror(-sent);
    return Sent::not_sent;
  }
  return run_until(talk, [&] { return talk.answer.arrived; }) ? Sent::answered : Sent::no_answer;
}

int new_call(Talk& talk, sd_bus_message** message, const char* path, const char* interface,
             const char* member) {
  return talk.api.new_method_call(talk.bus, message, manager_name, path, interface, member);
}

// A property of the unit at `path`, read as far as the variant; false on any
// error, with the error's name in talk.answer.
bool get_property(Talk& talk, const std::string& path, const std::string& interface,
                  const char* name) {
  sd_bus_message* message = nullptr;
  int r = new_call(talk, &message, path.c_str(), "org.freedesktop.DBus.Properties", "Get");
  if (r >= 0) r = talk.api.append(message, "ss", interface.c_str(), name);
  return call(talk, message, r) == Sent::answered && talk.answer.reply != nullptr;
}

bool read_string_property(Talk& talk, const std::string& path, const std::string& interface,
                          const char* name, std::string& value) {
  const char* text = nullptr;
  if (!get_property(talk, path, interface, name) ||
      talk.api.read(talk.answer.reply, "v", "s", &text) < 0 || text == nullptr)
    return false;
  value = text;
  return true;
}

// The unit's name from its object path's last part, where systemd writes
// each byte other than a letter or (not first) a digit as "_xx".
std::string unit_of_object_path(std::string_view path) {
  const auto hex = [](char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
  };
  const std::string_view label = path.substr(path.rfind('/') + 1);
  std::string name;
  for (std::size_t i = 0; i < label.size(); ++i) {
    if (label[i] == '_' && i + 2 < label.size() && hex(label[i + 1]) >= 0 &&
        hex(label[i + 2]) >= 0) {
      name.push_back(static_cast<char>(hex(label[i + 1]) * 16 + hex(label[i + 2])));
      i += 2;
    } else {
      name.push_back(label[i]);
    }
  }
  return name;
}

// Whether the service at `path` restricts its file systems: an allow list,
// even one the manager could not fill (it drops what the kernel cannot
// enforce), or names to deny. The rule is keyed to the service's own group,
// which any other escapes. Unknown to a manager before systemd 250.
bool restricts_file_systems(Talk& talk, const std::string& path, const std::string& interface) {
  if (!get_property(talk, path, interface, "RestrictFileSystems"))
    return talk.answer.error_name != "org.freedesktop.DBus.Error.UnknownProperty";
  int allow = 0;
  sd_bus_message* reply = talk.answer.reply;
  return talk.api.enter_container(reply, 'v', "(bas)") < 0 ||
         talk.api.enter_container(reply, 'r', "bas") < 0 || talk.api.read(reply, "b", &allow) < 0 ||
         talk.api.enter_container(reply, 'a', "s") < 0 || allow != 0 ||
         talk.api.at_end(reply, 0) <= 0;
}

// Whether the manager says it was built without its BPF framework
// ("-BPF_FRAMEWORK" among its Features, as Debian 12's systemd): it then
// enforces no RestrictFileSystems= at all, and reads an allow list back as
// empty.
bool lacks_bpf_framework(Talk& talk) {
  std::string features;
  if (!read_string_property(talk, manager_path, manager_interface, "Features", features))
    return false;
  const bool lacks = holds_word(features, "-BPF_FRAMEWORK", ' ');
  if (lacks)
    diagnose("service manager: built without its BPF framework: it restricts no file systems");
  return lacks;
}

// The unit the manager runs the caller in, as the manager itself sees it:
// its name, when the manager sees the caller in the group the kernel names
// (a manager of another pid or cgroup namespace does not), else "".
std::string caller_unit(Talk& talk, const ScopeRequest& request) {
  sd_bus_message* message = nullptr;
  const char* path = nullptr;
  int r = new_call(talk, &message, manager_path, manager_interface, "GetUnitByPID");
  if (r >= 0) r = talk.api.append(message, "u", 0U);
  if (call(talk, message, r) != Sent::answered || talk.answer.reply == nullptr ||
      talk.api.read(talk.answer.reply, "o", &path) < 0 || path == nullptr) {
    diagnose("service manager: cannot tell which unit runs the wrapper: %s: %s",
             talk.answer.error_name.c_str(), talk.answer.error_message.c_str());
    return {};
  }
  const std::string unit_path = path;
  std::string unit = unit_of_object_path(unit_path);
  // Each kind of unit has an interface of its own: "a.service" the Service one.
  const std::string_view prefix = "org.freedesktop.systemd1.";
  std::string interface = std::string(prefix) + unit.substr(unit.rfind('.') + 1);
  interface[prefix.size()] =
      static_cast<char>(std::toupper(static_cast<unsigned char>(interface[prefix.size()])));
  std::string group;
  if (!read_string_property(talk, unit_path, interface, "ControlGroup", group) ||
      !lies_in(request.own_group, group)) {
    diagnose("service manager: it runs the wrapper in %s at %s, not at %s: not asked", unit.c_str(),
             group.c_str(), request.own_group.c_str());
    return {};
  }
  if (unit.ends_with(".service") && restricts_file_systems(talk, unit_path, interface) &&
      !lacks_bpf_framework(talk)) {
    diagnose("service manager: %s restricts its file systems: the job stays in it", unit.c_str());
    return {};
  }
  return unit;
}

// StartTransientUnit for a scope holding the caller. PIDs 0 is the caller as
// the manager itself sees it (through the bus daemon or the socket's peer),
// in the manager's own pid namespace: our own id would name another process
// there. systemd takes 0 from 238 on; an older one refuses, and the job goes
// the next way. The description is the unit's name, which is plain ASCII: a
// program's name need not be valid UTF-8, which D-Bus strings must be.
Sent send_request(Talk& talk, const ScopeRequest& request, const std::string& unit,
                  const std::string& part_of, std::uint64_t weight) {
  const SdBus& api = talk.api;
  const std::string description = unit + ": a job at idle priority";
  sd_bus_message* message = nullptr;
  int r = new_call(talk, &message, manager_path, manager_interface, "StartTransientUnit");
  if (r >= 0) r = api.append(message, "ss", unit.c_str(), "fail");
  if (r >= 0) r = api.open_container(message, 'a', "(sv)");
  if (r >= 0) r = api.append(message, "(sv)", "Description", "s", description.c_str());
  if (r >= 0) r = api.append(message, "(sv)", "PIDs", "au", 1, 0U);
  if (r >= 0) r = api.append(message, "(sv)", "Slice", "s", request.slice.c_str());
  if (r >= 0) r = api.append(message, "(sv)", "CPUWeight", "t", weight);
  // The groups below the scope are ours: the job's leaf, which may be paused.
  if (r >= 0) r = api.append(message, "(sv)", "Delegate", "b", 1);
  // A scope that failed is collected too, rather than listed as failed.
  if (r >= 0) r = api.append(message, "(sv)", "CollectMode", "s", "inactive-or-failed");
  // Stopping the wrapper's service stops the job, as it did
  // before the job had a scope of its own.
  if (r >= 0 && !part_of.empty())
    r = api.append(message, "(sv)", "PartOf", "as", 1, part_of.c_str());
  if (r >= 0) r = api.close_container(message);
  if (r >= 0) r = api.append(message, "a(sa(sv))", 0);
  return call(talk, message, r);
}

// Asks until the manager gives a job, or refuses for good: a name taken
// already gets a new random part; a manager too old for the idle weight
// (before systemd 252) gets the least ordinary weight instead. The job's
// path, or "".
std::string ask_for_scope(Talk& talk, const ScopeRequest& request, const std::string& part_of) {
  std::uint64_t weight = 0;  // CPUWeight=idle on the bus
  for (int names_left = unit_name_tries; names_left > 0;) {
    const std::string unit =
        scope_name(request.program_name, static_cast<long>(::getpid()), random_bits());
    const Sent sent = send_request(talk, request, unit, part_of, weight);
    if (sent != Sent::answered) {
      diagnose(sent == Sent::not_built ? "service manager: the request for %s could not be built%s"
               : sent == Sent::not_sent
                   ? "service manager: the request for %s could not be sent: %s"
                   : "service manager: no answer for %s in time%s",
               unit.c_str(), sent == Sent::not_sent ? talk.answer.error_message.c_str() : "");
      return {};
    }
    const char* job = nullptr;
    if (talk.answer.reply != nullptr && talk.api.read(talk.answer.reply, "o", &job) >= 0 &&
        job != nullptr) {
      diagnose("service manager: %s in %s%s%s, CPUWeight %llu, job %s", unit.c_str(),
               request.slice.c_str(), part_of.empty() ? "" : ", part of ", part_of.c_str(),
               static_cast<unsigned long long>(weight), job);
      return job;
    }
    const Talk::Answer& answer = talk.answer;
    diagnose("service manager: %s refused: %s: %s", unit.c_str(), answer.error_name.c_str(),
             answer.error_message.c_str());
    if (answer.error_name == "org.freedesktop.systemd1.UnitExists") {
      --names_left;
    } else if (answer.error_name == "org.freedesktop.DBus.Error.InvalidArgs" && weight == 0 &&
               answer.error_message.find("CPUWeight") != std::string::npos) {
      weight = 1;
    } else {
      return {};
    }
  }
  return {};
}

bool escape_as_is(char c, bool first) {
  const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == ':' || c == '_' || c == '-' || c == '.';
  return plain && !(first && c == '.');
}

}  // namespace

std::string user_bus_address() {
  const char* given = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (given == nullptr || *given == '\0') {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || *runtime != '/') return {};
    const std::string socket = std::string(runtime) + "/bus";
    return ::access(socket.c_str(), F_OK) == 0 ? "unix:path=" + socket : std::string();
  }
  // One address, a local socket: "unix:path=..." or "unix:abstract=...",
  // perhaps with a guid. Several addresses, other transports (tcp: resolves
  // names without any deadline) and unixexec: (runs a program) are refused.
  const std::string_view address = given;
  const auto refused = [&] {
    diagnose("user bus: %s is no single local socket: not asked", given);
    return std::string();
  };
  if (!address.starts_with("unix:") || address.find(';') != std::string_view::npos)
    return refused();
  bool has_socket = false;
  for (std::size_t begin = 5; begin < address.size();) {
    std::size_t end = address.find(',', begin);
    if (end == std::string_view::npos) end = address.size();
    const std::string_view pair = address.substr(begin, end - begin);
    if (pair.starts_with("path=") || pair.starts_with("abstract=")) {
      has_socket = true;
    } else if (!pair.starts_with("guid=")) {
      return refused();
    }
    begin = end + 1;
  }
  return has_socket ? std::string(address) : refused();
}

std::string scope_name(const std::string& program_name, long pid, unsigned random) {
  static constexpr char hex[] = "0123456789abcdef";
  char tail[48];
  const int tail_length = std::snprintf(tail, sizeof tail, "-%ld-%08x.scope", pid, random);
  const std::size_t room = max_unit_name - static_cast<std::size_t>(tail_length);
  std::string name;
  for (const char c : program_name.empty() ? std::string("job") : program_name) {
    const bool as_is = escape_as_is(c, name.empty());
    if (name.size() + (as_is ? 1 : 4) > room) break;  // never cut an escape in two
    if (as_is) {
      name.push_back(c);
    } else {
      const auto byte = static_cast<unsigned char>(c);
      name.append("\\x").push_back(hex[byte >> 4]);
      name.push_back(hex[byte & 15]);
    }
  }
  return name.append(tail);
}

bool place_in_scope(const ScopeRequest& request) {
  SdBus api;
  if (request.manager == ScopeRequest::Manager::none) return false;
  if (!api.load()) {
    diagnose("service manager: libsystemd.so.0 cannot be loaded");
    return false;
  }
  const std::uint64_t started = now_usec();
  bool direct = false;
  sd_bus* bus = connect(api, request, direct);
  if (bus == nullptr) return false;
  Talk talk{api, bus, started + talk_budget_usec, {}, {}};
  // The match on the job's end comes before the request, so the end cannot
  // slip past. The manager's own socket has no bus daemon to name a sender.
  std::string result;
  if (api.match_signal_async(bus, nullptr, direct ? nullptr : manager_name, manager_path,
                             manager_interface, "JobRemoved", on_job_removed, nullptr,
                             &talk) >= 0) {
    const std::string unit = caller_unit(talk, request);
    // Only the caller's own service, as this manager runs it: a name taken
    // from the path could be any manager's unit, and users choose them freely.
    const std::string job =
        unit.empty() ? std::string()
                     : ask_for_scope(talk, request, unit.ends_with(".service") ? unit : "");
    const auto ended = [&] {
      const auto found =
          std::ranges::find_if(talk.ended, [&](const auto& e) { return e.first == job; });
      if (found != talk.ended.end()) result = found->second;
      return found != talk.ended.end();
    };
    if (!job.empty() && !run_until(talk, ended))
      diagnose("service manager: job %s did not end in time", job.c_str());
  }
  talk.forget_answer();
  close_bus(api, bus);
  diagnose("service manager: %s after %llu ms", result.empty() ? "no result" : result.c_str(),
           static_cast<unsigned long long>((now_usec() - started) / 1000));
  return result == "done";
}

}  // namespace lull::platform
