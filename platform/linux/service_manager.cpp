// A transient scope from the service manager over D-Bus, through libsystemd's
// sd-bus, loaded only where a bus is there to talk to. Linux code only.
#include "platform/linux/service_manager.h"

#include <dlfcn.h>
#include <sys/random.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace lull::platform {
namespace {

constexpr std::uint64_t talk_budget_usec = 1000000;  // connect, match, call, retry, wait
constexpr int unit_name_tries = 3;
constexpr std::size_t max_unit_name = 255;
constexpr const char* manager_name = "org.freedesktop.systemd1";
constexpr const char* manager_path = "/org/freedesktop/systemd1";
constexpr const char* manager_interface = "org.freedesktop.systemd1.Manager";

// The part of sd-bus the talk needs, bound by name from the shared library.
struct SdBus {
  decltype(&sd_bus_open_system) open_system = nullptr;
  decltype(&sd_bus_open_user) open_user = nullptr;
  decltype(&sd_bus_close_unref) close_unref = nullptr;
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
  decltype(&sd_bus_error_has_name) error_has_name = nullptr;

  bool load() {
    // The child execs right after the talk, which drops the library: it is
    // never closed.
    void* library = ::dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
    return library != nullptr && bind(library, "sd_bus_open_system", open_system) &&
           bind(library, "sd_bus_open_user", open_user) &&
           bind(library, "sd_bus_close_unref", close_unref) &&
           bind(library, "sd_bus_match_signal_async", match_signal_async) &&
           bind(library, "sd_bus_message_new_method_call", new_method_call) &&
           bind(library, "sd_bus_message_append", append) &&
           bind(library, "sd_bus_message_open_container", open_container) &&
           bind(library, "sd_bus_message_close_container", close_container) &&
           bind(library, "sd_bus_call_async", call_async) &&
           bind(library, "sd_bus_message_unref", message_unref) &&
           bind(library, "sd_bus_process", process) && bind(library, "sd_bus_wait", wait) &&
           bind(library, "sd_bus_message_get_error", get_error) &&
           bind(library, "sd_bus_message_read", read) &&
           bind(library, "sd_bus_error_has_name", error_has_name);
  }

  template <typename Function>
  static bool bind(void* library, const char* name, Function& function) {
    function = reinterpret_cast<Function>(::dlsym(library, name));
    return function != nullptr;
  }
};

std::uint64_t now_usec() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000 +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000;
}

unsigned random_part() {
  unsigned value = 0;
  if (::getrandom(&value, sizeof value, GRND_NONBLOCK) != sizeof value)
    value = static_cast<unsigned>(now_usec() * 2654435761U) ^ static_cast<unsigned>(::getpid());
  return value;
}

// One request for a scope and the wait for its job.
struct Talk {
  Talk(const SdBus& api, sd_bus* bus, const std::string& program_name, std::uint64_t deadline)
      : api(api), bus(bus), program_name(program_name), deadline(deadline) {}

  const SdBus& api;
  sd_bus* bus;
  const std::string& program_name;
  std::uint64_t deadline;
  std::uint64_t weight = 0;  // CPUWeight=idle on the bus
  int names_left = unit_name_tries;
  std::string job;                          // the manager's job for our scope, once it answered
  std::string removed_job, removed_result;  // a job that ended before the answer came
  enum class State { waiting, placed, failed } state = State::waiting;
};

bool request_scope(Talk& talk);

void job_finished(Talk& talk, const char* result) {
  talk.state = std::strcmp(result, "done") == 0 ? Talk::State::placed : Talk::State::failed;
}

// The manager's answer to StartTransientUnit: a job, or an error. A name
// taken already gets a new random part; a manager too old for the idle
// weight (before systemd 252) gets the least ordinary weight instead.
int on_answer(sd_bus_message* answer, void* userdata, sd_bus_error* /*unused*/) {
  Talk& talk = *static_cast<Talk*>(userdata);
  const SdBus& api = talk.api;
  if (const sd_bus_error* error = api.get_error(answer); error != nullptr) {
    const bool name_taken = api.error_has_name(error, "org.freedesktop.systemd1.UnitExists");
    const bool weight_refused =
        api.error_has_name(error, "org.freedesktop.DBus.Error.InvalidArgs") && talk.weight == 0 &&
        error->message != nullptr && std::strstr(error->message, "CPUWeight") != nullptr;
    if (name_taken && --talk.names_left > 0 && request_scope(talk)) return 0;
    if (weight_refused) {
      talk.weight = 1;
      if (request_scope(talk)) return 0;
    }
    talk.state = Talk::State::failed;
    return 0;
  }
  const char* job = nullptr;
  if (api.read(answer, "o", &job) < 0 || job == nullptr) {
    talk.state = Talk::State::failed;
    return 0;
  }
  talk.job = job;
  if (talk.job == talk.removed_job) job_finished(talk, talk.removed_result.c_str());
  return 0;
}

int on_job_removed(sd_bus_message* signal, void* userdata, sd_bus_error* /*unused*/) {
  Talk& talk = *static_cast<Talk*>(userdata);
  std::uint32_t id = 0;
  const char* job = nullptr;
  const char* unit = nullptr;
  const char* result = nullptr;
  if (talk.api.read(signal, "uoss", &id, &job, &unit, &result) < 0 || job == nullptr ||
      result == nullptr)
    return 0;
  if (talk.job.empty()) {
    talk.removed_job = job;
    talk.removed_result = result;
  } else if (talk.job == job) {
    job_finished(talk, result);
  }
  return 0;
}

// StartTransientUnit for a scope holding this process, at the top of the
// manager's tree ("-.slice": beside system.slice and user.slice, or beside
// app.slice and session.slice), so that every other group is a sibling or a
// sibling's descendant; an idle group yields only to its siblings.
bool request_scope(Talk& talk) {
  const SdBus& api = talk.api;
  const std::uint64_t now = now_usec();
  if (now >= talk.deadline) return false;
  const auto pid = static_cast<std::uint32_t>(::getpid());
  const std::string unit = scope_name(talk.program_name, static_cast<long>(pid), random_part());
  const std::string description = talk.program_name + ": a job at idle priority";
  sd_bus_message* request = nullptr;
  int r = api.new_method_call(talk.bus, &request, manager_name, manager_path, manager_interface,
                              "StartTransientUnit");
  if (r >= 0) r = api.append(request, "ss", unit.c_str(), "fail");
  if (r >= 0) r = api.open_container(request, 'a', "(sv)");
  if (r >= 0) r = api.append(request, "(sv)", "Description", "s", description.c_str());
  if (r >= 0) r = api.append(request, "(sv)", "PIDs", "au", 1, pid);
  if (r >= 0) r = api.append(request, "(sv)", "Slice", "s", "-.slice");
  if (r >= 0) r = api.append(request, "(sv)", "CPUWeight", "t", talk.weight);
  // A scope that failed is collected too, rather than listed as failed.
  if (r >= 0) r = api.append(request, "(sv)", "CollectMode", "s", "inactive-or-failed");
  if (r >= 0) r = api.close_container(request);
  if (r >= 0) r = api.append(request, "a(sa(sv))", 0);
  if (r >= 0) r = api.call_async(talk.bus, nullptr, request, on_answer, &talk, talk.deadline - now);
  api.message_unref(request);
  return r >= 0;
}

// Runs the bus until the job is over or the deadline has passed; every wait
// is bounded by the deadline, so a bus that never speaks cannot hold us.
void run_until_done(Talk& talk) {
  const SdBus& api = talk.api;
  while (talk.state == Talk::State::waiting) {
    const std::uint64_t now = now_usec();
    if (now >= talk.deadline) return;
    const int r = api.process(talk.bus, nullptr);
    if (r < 0) return;
    if (r > 0) continue;
    if (api.wait(talk.bus, talk.deadline - now) < 0) return;
  }
}

bool escape_as_is(char c, bool first) {
  const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == ':' || c == '_' || c == '-' || c == '.';
  return plain && !(first && c == '.');
}

}  // namespace

bool manager_bus_present(ManagerBus bus) {
  const char* address = std::getenv(bus == ManagerBus::system ? "DBUS_SYSTEM_BUS_ADDRESS"
                                                              : "DBUS_SESSION_BUS_ADDRESS");
  if (address != nullptr && *address != '\0') return true;
  if (bus == ManagerBus::system) return ::access("/run/dbus/system_bus_socket", F_OK) == 0;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  return bus == ManagerBus::user && runtime != nullptr && *runtime == '/' &&
         ::access((std::string(runtime) + "/bus").c_str(), F_OK) == 0;
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

bool place_in_scope(ManagerBus bus, const std::string& program_name) {
  SdBus api;
  if (bus == ManagerBus::none || !api.load()) return false;
  const std::uint64_t deadline = now_usec() + talk_budget_usec;
  sd_bus* connection = nullptr;
  // These honour DBUS_SYSTEM_BUS_ADDRESS and DBUS_SESSION_BUS_ADDRESS; they
  // only start connecting and never wait for the other side.
  const int opened =
      bus == ManagerBus::system ? api.open_system(&connection) : api.open_user(&connection);
  if (opened < 0 || connection == nullptr) return false;
  Talk talk(api, connection, program_name, deadline);
  // Subscribe to the job's end before asking, so the end cannot slip past.
  if (api.match_signal_async(connection, nullptr, manager_name, manager_path, manager_interface,
                             "JobRemoved", on_job_removed, nullptr, &talk) >= 0 &&
      request_scope(talk))
    run_until_done(talk);
  api.close_unref(connection);
  return talk.state == Talk::State::placed;
}

}  // namespace lull::platform
