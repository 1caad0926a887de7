// The rules a unit's group carries besides its limits stay with the job: the
// manager is asked for a scope only where every BPF program in effect on the
// wrapper's group would be in effect below the scope's parent, and the
// wrapper is never killed for asking. The wrapper runs in a cgroup namespace
// whose top is a group of the test's, with programs the test attached: the
// top plays the scope's parent, a group below it the wrapper's service.
#include <fcntl.h>
#include <linux/bpf.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "linux/e2e_fixture.h"

namespace lull::testing {
namespace {

using std::chrono::seconds;

// Kinds the build's headers may not name yet (kernel 6.7 and later).
constexpr std::uint32_t unix_sendmsg_kind = 50;  // BPF_CGROUP_UNIX_SENDMSG

// Where a hierarchy of `type` ("cgroup2", or "cgroup" with the mount
// option `option`: "pids", "name=systemd") is mounted whole; "" when nowhere.
std::string mount_of(const std::string& type, const std::string& option = {}) {
  std::ifstream mounts("/proc/self/mountinfo");
  for (std::string line; std::getline(mounts, line);) {
    const std::size_t dash = line.find(" - " + type + " ");
    if (dash == std::string::npos) continue;
    std::istringstream fields(line.substr(0, dash));
    std::string skipped;
    std::string root;
    std::string mount_point;
    fields >> skipped >> skipped >> skipped >> root >> mount_point;
    std::string options = line.substr(line.rfind(' ') + 1);
    options.insert(options.begin(), ',');
    options.push_back(',');
    if (root == "/" && (option.empty() || options.find("," + option + ",") != std::string::npos))
      return mount_point;
  }
  return {};
}

// A program of `type` that lets everything through: r0 = 1; exit. Its
// descriptor, or -1.
int load_allowing_program(std::uint32_t type, std::uint32_t expected_kind) {
  const bpf_insn code[] = {
      {.code = BPF_ALU64 | BPF_MOV | BPF_K, .dst_reg = 0, .src_reg = 0, .off = 0, .imm = 1},
      {.code = BPF_JMP | BPF_EXIT, .dst_reg = 0, .src_reg = 0, .off = 0, .imm = 0},
  };
  static const char license[] = "GPL";
  bpf_attr load{};
  load.prog_type = type;
  load.insn_cnt = 2;
  load.insns = reinterpret_cast<std::uintptr_t>(code);
  load.license = reinterpret_cast<std::uintptr_t>(license);
  load.expected_attach_type = expected_kind;
  return static_cast<int>(::syscall(SYS_bpf, BPF_PROG_LOAD, &load, sizeof load));
}

// Attaches a fresh allowing program of `kind` to the group folder `group`.
bool attach(const std::string& group, std::uint32_t type, std::uint32_t kind, std::uint32_t flags) {
  const int program = load_allowing_program(type, kind);
  const int target = ::open(group.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  bpf_attr attach{};
  attach.target_fd = static_cast<std::uint32_t>(target);
  attach.attach_bpf_fd = static_cast<std::uint32_t>(program);
  attach.attach_type = kind;
  attach.attach_flags = flags;
  const bool attached = program >= 0 && target >= 0 &&
                        ::syscall(SYS_bpf, BPF_PROG_ATTACH, &attach, sizeof attach) == 0;
  // The group holds the program now; it goes with the group.
  if (program >= 0) ::close(program);
  if (target >= 0) ::close(target);
  return attached;
}

bool attach_egress(const std::string& group, std::uint32_t flags) {
  return attach(group, BPF_PROG_TYPE_CGROUP_SKB, BPF_CGROUP_INET_EGRESS, flags);
}

// How the wrapper went: whether it went on to ask the manager (there is
// none to answer), its debug lines, its exit status, and whether the job ran.
struct Outcome {
  bool asked = false;
  std::string lines;
  std::optional<int> status;
  bool job_ran = false;
};

// As on a machine systemd booted, with nothing to answer on its sockets.
const std::string as_if_booted =
    "mount -t tmpfs none /run && mkdir -p /run/systemd/system && exec \"$@\"";

class RulesCheck : public WrapperTest {
 protected:
  void SetUp() override {
    v2_ = mount_of("cgroup2");
    if (::geteuid() != 0 || v2_.empty()) GTEST_SKIP() << "needs root and a cgroup2 mount";
    top_ = v2_ + "/lull-rules-" + std::to_string(::getpid());
    std::filesystem::create_directories(service());
  }
  void TearDown() override {
    ::rmdir(service().c_str());
    ::rmdir(top_.c_str());
  }
  [[nodiscard]] std::string service() const { return top_ + "/job.service"; }

  // Runs the wrapper as root on a machine systemd seems to have booted, in
  // job.service below a cgroup namespace of its own, with the cgroup2 tree
  // alone mounted there (or none), started through `prefix` (a user
  // namespace, dropped capabilities).
  Outcome run(const std::vector<std::string>& prefix = {}, bool mount_v2 = true,
              long killing_syscall = -1) {
    const std::string outer =
        "echo $$ > \"$LULL_TOP/cgroup.procs\" && exec unshare --cgroup --mount --propagation "
        "private /bin/sh -c \"$LULL_INNER\" inner \"$@\"";
    const std::string inner =
        "echo $$ > \"$LULL_TOP/job.service/cgroup.procs\" && umount -R /sys/fs/cgroup && "
        "{ [ -z \"$LULL_V2\" ] || mount -t cgroup2 none /sys/fs/cgroup; } && " +
        as_if_booted;
    return run_script(
        outer, prefix,
        {"LULL_TOP=" + top_, "LULL_INNER=" + inner, mount_v2 ? "LULL_V2=1" : "LULL_V2="},
        killing_syscall);
  }

  // Runs `script` with the words `prefix`, the wrapper and the test child
  // as its arguments, and `environment` added.
  Outcome run_script(const std::string& script, const std::vector<std::string>& prefix,
                     const std::vector<std::string>& environment, long killing_syscall = -1) {
    std::vector<std::string> arguments{"-c", script, "outer"};
    arguments.insert(arguments.end(), prefix.begin(), prefix.end());
    arguments.insert(arguments.end(), {link(lullrun_path, "job"), test_child_path});
    std::vector<std::string> variables{report_variable(), "LULLRUN_DEBUG=1"};
    variables.insert(variables.end(), environment.begin(), environment.end());
    Outcome outcome;
    outcome.status = run_wrapper_process({.program = "/bin/sh",
                                          .arguments = arguments,
                                          .environment = variables,
                                          .standard_output = log_descriptor(),
                                          .killing_syscall = killing_syscall},
                                         seconds(60));
    outcome.lines = read_file(log_path());
    outcome.asked = outcome.lines.find("service manager: cannot connect") != std::string::npos;
    outcome.job_ran = std::filesystem::exists(report_path());
    return outcome;
  }

  std::string v2_, top_;
};

// The wrapper ended well, its job ran, and it asked the manager only if `asked`.
void expect_job_ran(const Outcome& outcome, bool asked) {
  EXPECT_EQ(outcome.status, 0) << outcome.lines;
  EXPECT_TRUE(outcome.job_ran);
  EXPECT_EQ(outcome.asked, asked) << outcome.lines;
}

// Which programs the test attaches, and whether the manager may be asked.
struct Attached {
  const char* name;
  bool on_top;          // else on the wrapper's service
  std::uint32_t flags;  // BPF_F_ALLOW_MULTI, BPF_F_ALLOW_OVERRIDE
  bool unix_kind;       // a kind for unix sockets rather than IP egress
  bool asked;
};

void PrintTo(const Attached& attached, std::ostream* out) { *out << attached.name; }

class ProgramsInEffect : public RulesCheck, public ::testing::WithParamInterface<Attached> {};

TEST_P(ProgramsInEffect, TheManagerIsAskedOnlyWhereEveryProgramStaysInEffect) {
  const Attached attached = GetParam();
  const std::string group = attached.on_top ? top_ : service();
  const bool done = attached.unix_kind ? attach(group, BPF_PROG_TYPE_CGROUP_SOCK_ADDR,
                                                unix_sendmsg_kind, attached.flags)
                                       : attach_egress(group, attached.flags);
  if (!done) GTEST_SKIP() << "the kernel does not attach that kind of program";
  const Outcome outcome = run();
  expect_job_ran(outcome, attached.asked);
}

INSTANTIATE_TEST_SUITE_P(
    Programs, ProgramsInEffect,
    ::testing::Values(
        // Inherited from the scope's parent, and kept below any group.
        Attached{"InheritedFromTheParent", true, BPF_F_ALLOW_MULTI, false, true},
        // The service's own: a scope would leave it behind.
        Attached{"OnTheServiceOnly", false, BPF_F_ALLOW_MULTI, false, false},
        // A kind the build's headers may not know.
        Attached{"OfAKindForUnixSockets", false, BPF_F_ALLOW_MULTI, true, false},
        // The parent's, but dropped below a group with programs of its own.
        Attached{"OverridableOnTheParent", true, BPF_F_ALLOW_OVERRIDE, false, false}),
    [](const ::testing::TestParamInfo<Attached>& info) { return std::string(info.param.name); });

// Where the kernel will not say, or the wrapper cannot look, the job stays;
// in a user namespace of a container's own, nothing is attached below the
// container's top, and the job goes as it did before the check.
TEST_F(RulesCheck, WithoutTheCapabilityTheJobStays) {
  const Outcome outcome = run({"setpriv", "--bounding-set", "-net_admin,-sys_admin"});
  expect_job_ran(outcome, false);
  EXPECT_NE(outcome.lines.find("CAP_NET_ADMIN"), std::string::npos) << outcome.lines;
}

// A container's: its process 1 shares it. A service's PrivateUsers=: the
// manager is outside, and may have attached programs to the service.
class UserNamespace : public RulesCheck, public ::testing::WithParamInterface<bool> {};

TEST_P(UserNamespace, TheManagerIsAskedOnlyWhereItSharesIt) {
  const bool container = GetParam();
  std::vector<std::string> prefix{"unshare", "--user", "--map-root-user"};
  if (container)
    prefix.insert(prefix.end(),
                  {"--pid", "--fork", "--mount-proc", "/bin/sh", "-c", "\"$@\"", "pid1"});
  const Outcome outcome = run(prefix);
  expect_job_ran(outcome, container);
}

INSTANTIATE_TEST_SUITE_P(Of, UserNamespace, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "AContainer" : "AService");
                         });

TEST_F(RulesCheck, WithoutACgroup2MountTheJobStays) {
  const Outcome outcome = run({}, false);
  expect_job_ran(outcome, false);
}

// systemd's SystemCallFilter=@system-service lists no bpf(): the kernel kills
// whoever makes it. The wrapper starts its job all the same.
TEST_F(RulesCheck, UnderAFilterThatKillsForBpfTheJobStarts) {
  const Outcome outcome = run({}, true, SYS_bpf);
  expect_job_ran(outcome, false);
}

// A v1 device list that allows all shows none of the devices denied beside
// it: alike lists there prove nothing, and the job stays.
TEST_F(RulesCheck, AV1DeviceListThatAllowsAllMayHideADenial) {
  const std::string devices = "/sys/fs/cgroup/devices/lull-devices-" + std::to_string(::getpid());
  if (::mkdir(devices.c_str(), 0755) != 0) GTEST_SKIP() << "needs a writable v1 devices hierarchy";
  write_file(devices + "/devices.deny", "b 7:* rwm");  // loop devices
  const Outcome outcome = run_script(
      "echo $$ > \"$LULL_DEVICES/cgroup.procs\" && exec unshare --mount --propagation private "
      "/bin/sh -c \"$LULL_BOOTED\" inner \"$@\"",
      {}, {"LULL_DEVICES=" + devices, "LULL_BOOTED=" + as_if_booted});
  ::rmdir(devices.c_str());
  expect_job_ran(outcome, false);
}

// An empty file reads as 0.
std::uint64_t number_in(const std::string& file) {
  std::string text = "0";
  text += read_file(file);
  return std::stoull(text);
}

// systemd's own task limit on services and scopes (15 %) and on each user's
// slice (33 %) is no administrator's limit; the same value on another slice
// is. The tasks the system allows: the fewer of threads-max and pid_max - 1.
struct TaskLimit {
  const char* name;
  const char* unit;     // the wrapper's unit path below the test's top
  const char* limited;  // which of its parts carries pids.max
  unsigned percent;
  std::uint64_t pid_max;  // set in a pid namespace of the wrapper's own; 0: the machine's
  bool counts;            // an administrator's limit
};

void PrintTo(const TaskLimit& limit, std::ostream* out) { *out << limit.name; }

class TaskLimits : public RulesCheck, public ::testing::WithParamInterface<TaskLimit> {
 protected:
  // The folders of `relative` in the hierarchies that name the wrapper's
  // unit and limit its tasks, made; empty when the machine has no such pair.
  std::vector<std::string> folders(const std::string& relative) {
    const std::string pids = mount_of("cgroup", "pids");
    const std::string units = mount_of("cgroup", "name=systemd");
    const bool v2_pids = pids.empty() && read_file(v2_ + "/cgroup.subtree_control").find("pids") !=
                                             std::string::npos;
    if (pids.empty() && !v2_pids) return {};
    std::vector<std::string> made{(v2_pids ? v2_ : pids) + relative};
    if (!units.empty()) made.push_back(units + relative);
    if (v2_pids && !units.empty()) return {};  // a v2 pids tree beside a v1 unit tree: unlike
    for (const std::string& folder : made) std::filesystem::create_directories(folder);
    if (v2_pids) write_file(v2_ + tops_.front() + "/cgroup.subtree_control", "+pids");
    return made;
  }
  void TearDown() override {
    for (const std::string& top : tops_) {
      for (const std::string& hierarchy :
           {mount_of("cgroup", "pids"), mount_of("cgroup", "name=systemd"), v2_}) {
        std::error_code ignored;
        std::vector<std::filesystem::path> groups;
        for (const auto& entry :
             std::filesystem::recursive_directory_iterator(hierarchy + top, ignored))
          if (entry.is_directory()) groups.push_back(entry.path());
        std::sort(groups.rbegin(), groups.rend());
        for (const auto& group : groups) ::rmdir(group.c_str());
        ::rmdir((hierarchy + top).c_str());
      }
    }
    RulesCheck::TearDown();
  }
  std::vector<std::string> tops_;
};

TEST_P(TaskLimits, OnlyAnAdministratorsTaskLimitKeepsTheJob) {
  const TaskLimit limit = GetParam();
  std::uint64_t system_tasks = std::min(number_in("/proc/sys/kernel/threads-max"),
                                        number_in("/proc/sys/kernel/pid_max") - 1);
  if (limit.pid_max > 0) {
    // pid_max is a pid namespace's own from Linux 6.14; before, it is the machine's.
    utsname host{};
    ::uname(&host);
    unsigned major = 0;
    unsigned minor = 0;
    if (std::sscanf(host.release, "%u.%u", &major, &minor) != 2 || major < 6 ||
        (major == 6 && minor < 14))
      GTEST_SKIP() << "pid_max is the machine's";
    system_tasks = std::min(system_tasks, limit.pid_max - 1);
  }
  tops_.push_back("/lull-tasks-" + std::to_string(::getpid()) + ".slice");
  const std::vector<std::string> unit = folders(tops_.front() + "/" + limit.unit);
  if (unit.empty()) GTEST_SKIP() << "needs the pids controller where the unit is named";
  const std::string limited = std::string(limit.limited);
  const std::vector<std::string> carrier = folders(tops_.front() + "/" + limited);
  write_file(carrier.front() + "/pids.max", std::to_string(system_tasks * limit.percent / 100));
  std::string groups;
  for (const std::string& folder : unit) groups += folder + " ";
  const std::string machine_pid_max = read_file("/proc/sys/kernel/pid_max");
  const Outcome outcome = run_script(
      "for g in $LULL_GROUPS; do echo $$ > $g/cgroup.procs || exit 1; done && "
      "exec unshare $LULL_PID_NS --mount --propagation private /bin/sh -c \"$LULL_INNER\" inner "
      "\"$@\"",
      {},
      {"LULL_GROUPS=" + groups,
       "LULL_INNER={ [ $LULL_PID_MAX = 0 ] || echo $LULL_PID_MAX > /proc/sys/kernel/pid_max; } "
       "&& mount -t tmpfs none /run && mkdir -p /run/systemd/system && \"$@\"",
       "LULL_PID_MAX=" + std::to_string(limit.pid_max),
       limit.pid_max > 0 ? "LULL_PID_NS=--pid --fork" : "LULL_PID_NS="});
  ASSERT_EQ(read_file("/proc/sys/kernel/pid_max"), machine_pid_max);
  EXPECT_EQ(outcome.status, 0) << outcome.lines;
  EXPECT_TRUE(outcome.job_ran);
  EXPECT_EQ(outcome.lines.find("carries a limit") != std::string::npos, limit.counts)
      << outcome.lines;
}

INSTANTIATE_TEST_SUITE_P(
    Defaults, TaskLimits,
    ::testing::Values(
        TaskLimit{"ServiceDefault", "job.service", "job.service", 15, 0, false},
        TaskLimit{"ServiceDefaultBelowPidMax", "job.service", "job.service", 15, 20000, false},
        TaskLimit{"SliceAtTheServiceDefault", "work.slice/job.service", "work.slice", 15, 0, true},
        TaskLimit{"UsersSliceDefault", "user-7.slice/job.service", "user-7.slice", 33, 0, false}),
    [](const ::testing::TestParamInfo<TaskLimit>& info) { return std::string(info.param.name); });

// Where the kernel kills a whole group for memory (memory.oom.group, as a
// container's runtime asks), the job keeps the score it inherits: a kill of
// the job would take the whole container. The container here is a cgroup
// namespace whose top is the test's group, on a machine no manager owns.
class WholeGroupKill : public RulesCheck, public ::testing::WithParamInterface<bool> {};

TEST_P(WholeGroupKill, TheJobGivesWayOnMemoryOnlyWhereItsKillTakesNothingElse) {
  const bool killed_whole = GetParam();
  if (!std::filesystem::exists(top_ + "/memory.oom.group"))
    GTEST_SKIP() << "needs the memory controller in the cgroup2 tree";
  write_file(top_ + "/memory.oom.group", killed_whole ? "1" : "0");
  const Outcome outcome = run_script(
      "echo $$ > \"$LULL_TOP/cgroup.procs\" && exec unshare --cgroup --mount --propagation "
      "private /bin/sh -c \"$LULL_INNER\" inner \"$@\"",
      {},
      {"LULL_TOP=" + top_,
       "LULL_INNER=echo $$ > \"$LULL_TOP/job.service/cgroup.procs\" && umount -R /sys/fs/cgroup "
       "&& mount -t cgroup2 none /sys/fs/cgroup && mount -t tmpfs none /run && exec \"$@\""});
  EXPECT_EQ(outcome.status, 0) << outcome.lines;
  const Report report = wait_for_report(report_path(), seconds(5));
  EXPECT_EQ(values(report, "oom"), std::vector<std::string>{killed_whole ? "0" : "1000"})
      << outcome.lines;
  // The shared idle group the wrapper may have made at the namespace's top.
  ::rmdir((top_ + "/lullrun-idle").c_str());
}

INSTANTIATE_TEST_SUITE_P(OomGroup, WholeGroupKill, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "Set" : "Unset");
                         });

}  // namespace
}  // namespace lull::testing
