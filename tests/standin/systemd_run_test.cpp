// systemd-run, a real sd-bus client, against the stand-in: it must be placed
// where systemd would place it, in a group with the weight it asked for, and
// the stand-in's log must show what it asked. If this fails, the stand-in no
// longer plays the manager our placement is tested against.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>

#include "standin/standin.h"

namespace lull::standin {

// Parameters by name in the test list.
void PrintTo(Bus bus, std::ostream* out) { *out << (bus == Bus::system ? "system" : "user"); }

namespace {

// The cpu controller's group in a `cat /proc/self/cgroup` output.
std::string cpu_group(const std::string& output) {
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t first = line.find(':');
    const std::size_t second = line.find(':', first + 1);
    if (second == std::string::npos) continue;
    std::istringstream list(line.substr(first + 1, second - first - 1));
    for (std::string controller; std::getline(list, controller, ',');) {
      if (controller == "cpu") return line.substr(second + 1);
    }
  }
  return {};
}

std::string field(const std::string& json, const std::string& key) {
  return json_field(json, key).value_or("(absent)");
}

class SystemdRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string why = why_unusable();
    if (!why.empty()) GTEST_SKIP() << why;
  }
};

class SystemdRunOnEachBus : public SystemdRunTest, public ::testing::WithParamInterface<Bus> {};

TEST_P(SystemdRunOnEachBus, RunsInAnIdleScopeAtTheTopOfTheManagersTree) {
  GroupTree tree;
  // Root's own user manager, for --user; the system manager owns the whole tree.
  const std::string manager = GetParam() == Bus::user ? lay_out_user_tree(tree, 0).manager : "";
  const std::string manager_top = manager.empty() ? tree.top() : tree.top() + "/" + manager;
  std::optional<ServiceManager> standin(std::in_place,
                                        Options{.bus = GetParam(), .tree = manager_top});
  ASSERT_FALSE(standin->address().empty());

  std::vector<std::string> command{"systemd-run",      "--scope",         "-p",
                                   "CPUWeight=idle",   "--slice=-.slice", "cat",
                                   "/proc/self/cgroup"};
  if (GetParam() == Bus::user) command.insert(command.begin() + 1, "--user");
  const Outcome run =
      run_command(GetParam() == Bus::system ? as_if_booted_with_systemd(command) : command,
                  {standin->bus_variable(), "XDG_RUNTIME_DIR"});
  ASSERT_EQ(run.status, 0) << run.output;

  const std::vector<std::string> log = standin->wait_for_log(1);
  ASSERT_EQ(log.size(), 1U);
  const std::string unit = field(log[0], "unit");
  EXPECT_TRUE(unit.starts_with("run-u") && unit.ends_with(".scope")) << unit;
  EXPECT_EQ(field(log[0], "mode"), "fail");
  EXPECT_EQ(field(log[0], "CPUWeight"), "0");  // what CPUWeight=idle is on the bus
  EXPECT_EQ(field(log[0], "Slice"), "-.slice");
  EXPECT_EQ(field(log[0], "result"), "done");
  const std::string scope = "/" + manager_top + "/" + unit;
  EXPECT_EQ(field(log[0], "group"), scope);
  EXPECT_EQ(cpu_group(run.output), scope);
  const std::string relative = manager.empty() ? unit : manager + "/" + unit;
  EXPECT_EQ(tree.read(relative, "cpu.idle"), "1");

  // It leaves neither its bus nor its groups behind.
  const std::string socket = standin->address().substr(std::string("unix:path=").size());
  standin.reset();
  EXPECT_FALSE(std::filesystem::exists(socket));
  EXPECT_FALSE(std::filesystem::exists(tree.path(relative)));
}

INSTANTIATE_TEST_SUITE_P(SystemAndUser, SystemdRunOnEachBus,
                         ::testing::Values(Bus::system, Bus::user), [](const auto& info) {
                           return info.param == Bus::system ? "System" : "User";
                         });

TEST_F(SystemdRunTest, AManagerBefore252RefusesTheIdleWeightAndTakesWeightOne) {
  GroupTree tree;
  const std::string manager = lay_out_user_tree(tree, 0).manager;
  ServiceManager standin({.mode = Mode::old, .bus = Bus::user, .tree = tree.top() + "/" + manager});
  ASSERT_FALSE(standin.address().empty());
  const std::vector<std::string> environment{standin.bus_variable(), "XDG_RUNTIME_DIR"};

  EXPECT_NE(
      run_command({"systemd-run", "--user", "--scope", "-p", "CPUWeight=idle", "true"}, environment)
          .status,
      0);
  const Outcome run = run_command(
      {"systemd-run", "--user", "--scope", "-p", "CPUWeight=1", "cat", "/proc/self/cgroup"},
      environment);
  ASSERT_EQ(run.status, 0);

  const std::vector<std::string> log = standin.wait_for_log(2);
  ASSERT_EQ(log.size(), 2U);
  EXPECT_EQ(field(log[0], "error"), "org.freedesktop.DBus.Error.InvalidArgs");
  EXPECT_EQ(field(log[0], "message"), "Value specified in CPUWeight is out of range");
  EXPECT_EQ(field(log[1], "CPUWeight"), "1");
  // Without a slice, a user manager's default: app.slice.
  const std::string scope = manager + "/app.slice/" + field(log[1], "unit");
  EXPECT_EQ(cpu_group(run.output), "/" + tree.top() + "/" + scope);
  EXPECT_EQ(tree.read(scope, "cpu.shares"), "10");  // weight 1 on cgroup v1, as systemd maps it
}

// An ordinary user's systemd-run, started from a program of the user's
// manager or from a login session beside it, asks the user's manager.
enum class Start { app_scope, login_session };
void PrintTo(Start start, std::ostream* out) {
  *out << (start == Start::app_scope ? "app scope" : "login session");
}

class SystemdRunAsAUser : public SystemdRunTest, public ::testing::WithParamInterface<Start> {};

TEST_P(SystemdRunAsAUser, IsPlacedAtTheTopOfItsManagersTree) {
  const std::optional<Account> user = ordinary_user();
  if (!user) GTEST_SKIP() << "no ordinary user (nobody) to run as";
  GroupTree tree;
  const UserTree layout = lay_out_user_tree(tree, user->uid);
  const std::string manager_top = tree.top() + "/" + layout.manager;
  ServiceManager standin({.bus = Bus::user, .tree = manager_top, .uid = user->uid});
  ASSERT_FALSE(standin.address().empty());

  const std::string start =
      GetParam() == Start::app_scope ? layout.app_scope : layout.session_scope;
  const Outcome run = run_as(
      *user,
      [&] {
        const Outcome inner =
            run_command({"systemd-run", "--user", "--scope", "-p", "CPUWeight=idle",
                         "--slice=-.slice", "sh", "-c", "cat /proc/self/cgroup; echo uid=$(id -u)"},
                        {standin.bus_variable(), "XDG_RUNTIME_DIR", "HOME=/"});
        (void)std::fwrite(inner.output.data(), 1, inner.output.size(), stdout);
        return inner.status;
      },
      [&] { return tree.move(::getpid(), start); });
  ASSERT_EQ(run.status, 0) << run.output;

  const std::vector<std::string> log = standin.wait_for_log(1);
  ASSERT_EQ(log.size(), 1U);
  EXPECT_EQ(field(log[0], "CPUWeight"), "0");
  EXPECT_EQ(field(log[0], "result"), "done");  // this manager moves only its user's processes
  const std::string unit = field(log[0], "unit");
  EXPECT_EQ(cpu_group(run.output), "/" + manager_top + "/" + unit);
  EXPECT_NE(run.output.find("uid=" + std::to_string(user->uid) + "\n"), std::string::npos);
  EXPECT_EQ(tree.read(layout.manager + "/" + unit, "cpu.idle"), "1");
}

INSTANTIATE_TEST_SUITE_P(FromEachStart, SystemdRunAsAUser,
                         ::testing::Values(Start::app_scope, Start::login_session),
                         [](const auto& info) {
                           return info.param == Start::app_scope ? "FromAnAppScope"
                                                                 : "FromALoginSession";
                         });

// The refusals a client must tell apart, as systemd gives them: busctl, also
// an sd-bus client, asks for what systemd-run never would.
TEST_F(SystemdRunTest, RefusesAsSystemdDoes) {
  GroupTree tree;
  ServiceManager standin({.bus = Bus::user, .tree = tree.top()});
  ASSERT_FALSE(standin.address().empty());
  const pid_t sleeper = ::fork();
  if (sleeper == 0) {
    ::pause();
    ::_exit(0);
  }
  const struct Reaper {
    pid_t pid;
    ~Reaper() {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  } reaper{sleeper};
  const pid_t gone = ::fork();
  if (gone == 0) ::_exit(0);
  ::waitpid(gone, nullptr, 0);
  const std::string live = std::to_string(sleeper);
  const auto start = [&](std::vector<std::string> arguments) {
    std::vector<std::string> call{"busctl",
                                  "--address=" + standin.address(),
                                  "call",
                                  "org.freedesktop.systemd1",
                                  "/org/freedesktop/systemd1",
                                  "org.freedesktop.systemd1.Manager",
                                  "StartTransientUnit",
                                  "ssa(sv)a(sa(sv))"};
    call.insert(call.end(), arguments.begin(), arguments.end());
    call.emplace_back("0");  // no auxiliary units
    return run_command(call).status;
  };
  ASSERT_EQ(start({"lull-a.scope", "fail", "1", "PIDs", "au", "1", live}), 0);

  const std::string invalid = "org.freedesktop.DBus.Error.InvalidArgs";
  const struct {
    std::vector<std::string> arguments;
    std::string error;
  } refusals[] = {
      {{"lull-a.scope", "fail", "1", "PIDs", "au", "1", live},
       "org.freedesktop.systemd1.UnitExists"},
      {{"lull/b.scope", "fail", "1", "PIDs", "au", "1", live}, invalid},
      {{std::string(250, 'b') + ".scope", "fail", "1", "PIDs", "au", "1", live}, invalid},
      {{"lull-b.scope", "sometimes", "1", "PIDs", "au", "1", live}, invalid},
      {{"lull-b.service", "fail", "1", "PIDs", "au", "1", live}, invalid},
      {{"lull-b.scope", "fail", "2", "PIDs", "au", "1", live, "CPUQuotaPerSecUSec", "t", "10000"},
       "org.freedesktop.DBus.Error.PropertyReadOnly"},
      {{"lull-b.scope", "fail", "2", "PIDs", "au", "1", live, "CPUWeight", "t", "10001"}, invalid},
      {{"lull-b.scope", "fail", "2", "PIDs", "au", "1", live, "Slice", "s", "lull.service"},
       invalid},
      {{"lull-b.scope", "fail", "1", "PIDs", "au", "1", std::to_string(gone)},
       "org.freedesktop.DBus.Error.UnixProcessIdUnknown"},
      {{"lull-b.scope", "fail", "1", "PIDs", "au", "1", "1"}, invalid},
      {{"lull-b.scope", "fail", "1", "Description", "s", "none"},
       "org.freedesktop.systemd1.NoSuchUnit"},
  };
  for (const auto& refusal : refusals) EXPECT_NE(start(refusal.arguments), 0);

  const std::vector<std::string> log = standin.wait_for_log(1 + std::size(refusals));
  ASSERT_EQ(log.size(), 1 + std::size(refusals));
  for (std::size_t i = 0; i < std::size(refusals); ++i) {
    EXPECT_EQ(field(log[i + 1], "error"), refusals[i].error) << log[i + 1];
  }
}

}  // namespace
}  // namespace lull::standin
