// The child placed by the service manager: a transient scope at the top of
// the manager's tree with the idle weight, asked for over a private bus of a
// stand-in manager that makes the groups for real. A manager that refuses,
// fails, never answers or never speaks sends the child the next way, within
// the talk's deadline.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <ostream>
#include <regex>

#include "linux/e2e_fixture.h"
#include "standin/standin.h"

namespace lull::testing {
namespace {

using standin::Bus;
using standin::Mode;
using std::chrono::seconds;

std::string cpu_group(const Report& report) { return testing::cpu_group(values(report, "cgroup")); }

std::string field(const std::string& json, const std::string& key) {
  return standin::json_field(json, key).value_or("(absent)");
}

class ManagerPlacement : public WrapperTest {
 protected:
  void SetUp() override {
    const std::string why = standin::why_unusable();
    if (!why.empty()) GTEST_SKIP() << why;
    if (std::filesystem::exists("/run/systemd/system"))
      GTEST_SKIP() << "a service manager owns this machine's tree";
    std::filesystem::permissions(folder_.path(), std::filesystem::perms::all);
    // The wrapper starts in a unit the manager knows: systemd knows none for
    // a process at its tree's top.
    ASSERT_TRUE(tree_.make(first_unit));
    ASSERT_TRUE(tree_.move(::getpid(), first_unit));
  }

  static constexpr const char* first_unit = "test-1.scope";

  // Runs the wrapper, linked as "job", on the test child as root where the
  // stand-in's bus is the system bus and systemd counts as booted; the
  // child's report and how long it took to come. The environment's address
  // for the system bus is one that runs a program: root never takes it.
  Report run_as_root(const standin::ServiceManager& manager, std::chrono::milliseconds& took,
                     const std::string& name = "job", const std::vector<std::string>& prefix = {}) {
    const std::string job = link(lullrun_path, name);
    std::vector<std::string> words =
        standin::as_if_booted_with_systemd({job, test_child_path}, manager.address());
    words.insert(words.begin(), prefix.begin(), prefix.end());
    const auto started = std::chrono::steady_clock::now();
    WrapperProcess wrapper(
        {.program = words.front(),
         .arguments = {words.begin() + 1, words.end()},
         .environment = {
             report_variable(),
             "DBUS_SYSTEM_BUS_ADDRESS=unixexec:path=/bin/touch,argv1=" + (folder_ / "ran")}});
    Report report = wait_for_report(report_path(), seconds(60));
    took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 started);
    EXPECT_EQ(wrapper.wait(seconds(30)), 0);
    EXPECT_FALSE(std::filesystem::exists(folder_ / "ran"));
    return report;
  }

  standin::GroupTree tree_;
};

// The scope's name says what it is: the wrapper's name, the child's id and a
// random part.
void expect_scope_of(const std::string& unit, const Report& report) {
  ASSERT_EQ(values(report, "pid").size(), 1U);
  const std::regex name("job-" + values(report, "pid").front() + "-[0-9a-f]{8}\\.scope");
  EXPECT_TRUE(std::regex_match(unit, name)) << unit;
}

TEST_F(ManagerPlacement, RootGetsAnIdleScopeOfTheSystemManagerAtTheTop) {
  standin::ServiceManager manager({.mode = Mode::ok, .bus = Bus::system, .tree = tree_.top()});
  ASSERT_FALSE(manager.address().empty());
  std::chrono::milliseconds took{};
  const Report report = run_as_root(manager, took);
  const std::vector<std::string> log = manager.wait_for_log(1);
  ASSERT_EQ(log.size(), 1U);
  const std::string unit = field(log.front(), "unit");
  expect_scope_of(unit, report);
  EXPECT_EQ(field(log.front(), "mode"), "fail");
  EXPECT_EQ(field(log.front(), "Slice"), "-.slice");
  EXPECT_EQ(field(log.front(), "CPUWeight"), "0");
  // The caller as the manager sees it: the child's own id may name another
  // process in the manager's pid namespace.
  EXPECT_EQ(field(log.front(), "PIDs"), "[0]");
  EXPECT_EQ(cpu_group(report), "/" + tree_.top() + "/" + unit);
  EXPECT_EQ(tree_.read(unit, "cpu.idle"), "1");
  EXPECT_EQ(values(report, "oom"), std::vector<std::string>{"1000"});
}

// What the manager says back, and what the child must end up with.
struct Answer {
  Mode mode;
  std::size_t requests;  // StartTransientUnit calls the wrapper makes
  bool in_scope;         // placed by the manager, else left in the wrapper's group
  const char* weight;    // the CPUWeight of the last request
};

void PrintTo(const Answer& answer, std::ostream* out) {
  *out << "mode " << static_cast<int>(answer.mode) << ", " << answer.requests << " requests";
}

class ManagerAnswers : public ManagerPlacement, public ::testing::WithParamInterface<Answer> {};

TEST_P(ManagerAnswers, ChildEndsUpIdleWithinTheDeadline) {
  const Answer answer = GetParam();
  standin::ServiceManager manager({.mode = answer.mode, .bus = Bus::system, .tree = tree_.top()});
  ASSERT_FALSE(manager.address().empty());
  std::chrono::milliseconds took{};
  const Report report = run_as_root(manager, took);
  ASSERT_FALSE(report.empty());
  // The talk is bounded by a second: far below sd-bus's own 25 s call timeout.
  EXPECT_LT(took, seconds(10));
  const std::vector<std::string> log = manager.log();
  ASSERT_EQ(log.size(), answer.requests);
  if (answer.requests > 0) {
    EXPECT_EQ(field(log.back(), "CPUWeight"), answer.weight);
  }
  if (answer.in_scope) {
    const std::string unit = field(log.back(), "unit");
    expect_scope_of(unit, report);
    EXPECT_EQ(cpu_group(report), "/" + tree_.top() + "/" + unit);
  } else {
    // No manager placed it, and the tree is the manager's: it stays.
    EXPECT_EQ(cpu_group(report), standin::group_of(::getpid()));
  }
}

const Answer answers[] = {
    {Mode::old, 2, true, "1"},               // before systemd 252: weight 1 instead
    {Mode::unit_exists_once, 2, true, "0"},  // a new random part
    {Mode::refuse, 1, false, "0"},
    {Mode::fail_job, 1, false, "0"},
    {Mode::never_finish, 1, false, "0"},
    {Mode::no_reply, 1, false, "0"},
    {Mode::silent, 0, false, ""},
};

// Test names take no "-".
std::string mode_name(const ::testing::TestParamInfo<Answer>& info) {
  std::string name = standin::mode_name(info.param.mode);
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
}

INSTANTIATE_TEST_SUITE_P(Modes, ManagerAnswers, ::testing::ValuesIn(answers), mode_name);

// An administrator's limit holds for the job: the scope goes into the slice
// that carries one, never above it, and a limit on the wrapper's own service
// keeps the job in that service. Stopping the service stops the scope too.
class LimitedService : public ManagerPlacement, public ::testing::WithParamInterface<bool> {};

TEST_P(LimitedService, TheJobNeverLeavesAGroupWithALimit) {
  const bool on_service = GetParam();
  const std::string service = "system.slice/job.service";
  ASSERT_TRUE(tree_.make(service));
  write_file(tree_.path(on_service ? service : "system.slice") + "/cpu.cfs_quota_us", "50000");
  ASSERT_TRUE(tree_.move(::getpid(), service));  // the wrapper starts in the service
  standin::ServiceManager manager({.mode = Mode::ok, .bus = Bus::system, .tree = tree_.top()});
  ASSERT_FALSE(manager.address().empty());
  std::chrono::milliseconds took{};
  const Report report = run_as_root(manager, took);
  const std::vector<std::string> log = manager.log();
  if (on_service) {
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(cpu_group(report), "/" + tree_.top() + "/" + service);
    // The service's processes share its fate when the kernel kills for memory.
    EXPECT_EQ(values(report, "oom"), std::vector<std::string>{"0"});
  } else {
    ASSERT_EQ(log.size(), 1U);
    EXPECT_EQ(field(log.front(), "Slice"), "system.slice");
    EXPECT_EQ(field(log.front(), "PartOf"), "[\"job.service\"]");
    EXPECT_EQ(cpu_group(report), "/" + tree_.top() + "/system.slice/" + field(log.front(), "unit"));
  }
}

INSTANTIATE_TEST_SUITE_P(LimitOn, LimitedService, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "TheService" : "ItsSlice");
                         });

// A service's RestrictFileSystems= is keyed to its own group: the job stays
// in it, unless the manager says it was built without the BPF framework
// that enforces the rule (Debian 12's systemd), which reads the allow list
// back as (true, []) and enforces nothing.
class FileSystemRule : public ManagerPlacement, public ::testing::WithParamInterface<bool> {};

TEST_P(FileSystemRule, KeepsTheJobOnlyWhereTheManagerEnforcesIt) {
  const bool enforced = GetParam();
  const std::string service = "system.slice/job.service";
  ASSERT_TRUE(tree_.make(service));
  ASSERT_TRUE(tree_.move(::getpid(), service));
  standin::ServiceManager manager(
      {.mode = Mode::ok,
       .bus = Bus::system,
       .tree = tree_.top(),
       .features = enforced ? "+SECCOMP +BPF_FRAMEWORK" : "+SECCOMP -BPF_FRAMEWORK",
       .restrict_file_systems = true});
  ASSERT_FALSE(manager.address().empty());
  std::chrono::milliseconds took{};
  const Report report = run_as_root(manager, took);
  EXPECT_EQ(manager.log().size(), enforced ? 0U : 1U);
  EXPECT_EQ(cpu_group(report).starts_with("/" + tree_.top() + "/" + service), enforced)
      << cpu_group(report);
}

INSTANTIATE_TEST_SUITE_P(Framework, FileSystemRule, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "Built" : "Missing");
                         });

// Whom the request names, and whether the manager is asked at all: a program
// name that is no valid UTF-8 still makes a valid request; only the wrapper's
// own service, as the system manager runs it, ties the scope (not a service
// of a user's manager below it, whose names users choose); a bus served from
// outside the wrapper's pid namespace, as a container sees its host's, is not
// asked.
struct Caller {
  const char* test;
  const char* name;
  const char* start_in;             // relative to the tree's top ("." itself); "" the first unit
  std::vector<std::string> prefix;  // namespaces of its own the wrapper starts in
  const char* part_of;              // the request's PartOf; nullptr when no request may come
};

void PrintTo(const Caller& caller, std::ostream* out) { *out << caller.test; }

// A cgroup namespace of its own, with the cgroup2 tree alone mounted in it:
// the wrapper's group is "/" there, where the manager sees it deeper.
const std::vector<std::string> own_cgroup_namespace{
    "/usr/bin/unshare",
    "--cgroup",
    "--mount",
    "--propagation",
    "private",
    "/bin/sh",
    "-c",
    "umount -R /sys/fs/cgroup && mount -t cgroup2 none /sys/fs/cgroup && exec \"$@\"",
    "cgroupns"};

class ManagerCaller : public ManagerPlacement, public ::testing::WithParamInterface<Caller> {};

TEST_P(ManagerCaller, OnlyTheWrappersOwnManagerIsAskedAndForItsOwnService) {
  const Caller caller = GetParam();
  if (*caller.start_in != '\0') {
    ASSERT_TRUE(tree_.make(caller.start_in));
    ASSERT_TRUE(tree_.move(::getpid(), caller.start_in));
  }
  standin::ServiceManager manager({.mode = Mode::ok, .bus = Bus::system, .tree = tree_.top()});
  ASSERT_FALSE(manager.address().empty());
  std::chrono::milliseconds took{};
  const Report report = run_as_root(manager, took, caller.name, caller.prefix);
  const std::vector<std::string> log = manager.log();
  if (caller.part_of == nullptr) {
    EXPECT_TRUE(log.empty());
    // Where the child stays, as it sees it: a namespace of its own shows the top.
    const std::string stays_in =
        caller.prefix == own_cgroup_namespace ? "/"
        : std::string_view(caller.start_in) == "."
            ? "/" + tree_.top()
            : "/" + tree_.top() + "/" + (*caller.start_in != '\0' ? caller.start_in : first_unit);
    EXPECT_EQ(cpu_group(report), stays_in);
    return;
  }
  ASSERT_EQ(log.size(), 1U);
  EXPECT_EQ(field(log.front(), "PartOf"), caller.part_of);
  EXPECT_TRUE(cpu_group(report).starts_with("/" + tree_.top() + "/job")) << cpu_group(report);
}

INSTANTIATE_TEST_SUITE_P(
    Callers, ManagerCaller,
    ::testing::Values(
        Caller{"NameNotUtf8", "job\xff", "", {}, "(absent)"},
        Caller{"InAUsersService",
               "job",
               "user.slice/user-0.slice/user@0.service/app.slice/sshd.service",
               {},
               "[\"user@0.service\"]"},
        Caller{
            "OutsideOurPidNamespace", "job", "", {"/usr/bin/unshare", "--pid", "--fork"}, nullptr},
        // systemd 252 answers NoUnitForPID for a group no unit of its own
        // holds, and for its tree's top.
        Caller{"InAContainerRuntimesGroup", "job", "docker/abc", {}, nullptr},
        Caller{"AtTheManagersTop", "job", ".", {}, nullptr},
        // The manager sees the wrapper in another group than it sees itself in.
        Caller{"InACgroupNamespaceOfItsOwn", "job", "", own_cgroup_namespace, nullptr}),
    [](const ::testing::TestParamInfo<Caller>& info) { return std::string(info.param.test); });

// An ordinary user: the user's own manager, but only for a wrapper that runs
// under it; a login outside it (ssh, a console) stays where it is.
class UserManager : public ManagerPlacement, public ::testing::WithParamInterface<bool> {};

TEST_P(UserManager, OnlyAWrapperUnderTheUsersManagerIsHandedToIt) {
  const bool under_manager = GetParam();
  const std::optional<standin::Account> user = standin::ordinary_user();
  ASSERT_TRUE(user.has_value());
  const standin::UserTree login = standin::lay_out_user_tree(tree_, user->uid);
  standin::ServiceManager manager({.mode = Mode::ok,
                                   .bus = Bus::user,
                                   .tree = tree_.top() + "/" + login.manager,
                                   .uid = user->uid});
  ASSERT_FALSE(manager.address().empty());
  const std::string job = link(lullrun_path, "job");
  const std::string start_in = under_manager ? login.app_scope : login.session_scope;
  const std::string bus = manager.bus_variable();
  const std::string report = report_variable();
  const standin::Outcome outcome = standin::run_as(
      *user,
      [&] {
        ::putenv(const_cast<char*>(bus.c_str()));
        ::putenv(const_cast<char*>(report.c_str()));
        ::execl(job.c_str(), job.c_str(), test_child_path.c_str(), nullptr);
        return 127;
      },
      [&] { return tree_.move(::getpid(), start_in); });
  EXPECT_EQ(outcome.status, 0);
  const Report seen = wait_for_report(report_path(), seconds(30));
  ASSERT_FALSE(seen.empty());
  const std::vector<std::string> log = manager.log();
  if (under_manager) {
    ASSERT_EQ(log.size(), 1U);
    const std::string unit = field(log.front(), "unit");
    expect_scope_of(unit, seen);
    EXPECT_EQ(field(log.front(), "Slice"), "-.slice");
    // Beside app.slice and session.slice, not inside the scope it came from.
    EXPECT_EQ(cpu_group(seen), "/" + tree_.top() + "/" + login.manager + "/" + unit);
  } else {
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(cpu_group(seen), "/" + tree_.top() + "/" + login.session_scope);
  }
}

INSTANTIATE_TEST_SUITE_P(StartedFrom, UserManager, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "AnAppScope" : "ASessionScope");
                         });

// The manager's own socket is asked only where process 1 of the wrapper's pid
// namespace serves it as root: anyone may make a pid namespace of their own
// and serve a socket there as its process 1. The server answers the bus's
// greeting and keeps what the wrapper sends.
const char* const greeting_server = R"py(
import os, socket, sys
server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
server.bind("/run/systemd/private")
server.listen(4)
server.settimeout(30)
seen = b""
try:
    peer, _ = server.accept()
    peer.settimeout(3)
    pending = b""
    talking = False
    while True:
        data = peer.recv(65536)
        if not data:
            break
        seen += data
        pending += data
        while not talking and b"\r\n" in pending:
            line, pending = pending.split(b"\r\n", 1)
            if line.strip(b"\0") == b"AUTH EXTERNAL":
                peer.sendall(b"DATA\r\n")
            elif b"AUTH" in line or line.startswith(b"DATA"):
                peer.sendall(b"OK 0123456789abcdef0123456789abcdef\r\n")
            elif line.startswith(b"NEGOTIATE_UNIX_FD"):
                peer.sendall(b"AGREE_UNIX_FD\r\n")
            elif line.startswith(b"BEGIN"):
                talking = True
except OSError:
    pass
with open(os.environ["LULL_SEEN"], "wb") as out:
    out.write(seen)
while True:
    try:
        os.wait()
    except ChildProcessError:
        break
)py";

class PrivateSocket : public WrapperTest, public ::testing::WithParamInterface<bool> {};

TEST_P(PrivateSocket, IsAskedOnlyWhenItsProcess1IsRoot) {
  const bool root_serves = GetParam();
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  std::filesystem::permissions(folder_.path(), std::filesystem::perms::all);
  const std::string server_uid = root_serves ? "0" : "65534";
  const std::string script =
      "mount -t tmpfs none /run && mkdir -p /run/systemd/system && chmod 777 /run/systemd && "
      "( while [ ! -S /run/systemd/private ]; do sleep 0.05; done; exec \"$@\" ) & "
      "exec setpriv --reuid=$LULL_SERVER --regid=$LULL_SERVER --clear-groups /usr/bin/python3 "
      "-c \"$LULL_GREETING\"";
  const std::string seen = folder_ / "seen";
  const auto status = run_wrapper_process(
      {.program = "/usr/bin/unshare",
       .arguments = {"--pid", "--fork", "--mount", "--propagation", "private", "/bin/sh", "-c",
                     script, "pid1", link(lullrun_path, "job"), test_child_path},
       .environment = {report_variable(), "LULL_SERVER=" + server_uid,
                       std::string("LULL_GREETING=") + greeting_server, "LULL_SEEN=" + seen}},
      seconds(60));
  EXPECT_EQ(status, 0);
  EXPECT_FALSE(wait_for_report(report_path(), seconds(5)).empty());
  const std::string sent = read_file(seen);
  EXPECT_EQ(sent.find("GetUnitByPID") != std::string::npos, root_serves) << sent;
}

INSTANTIATE_TEST_SUITE_P(ServedBy, PrivateSocket, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "Root" : "AnOrdinaryUser");
                         });

}  // namespace
}  // namespace lull::testing
