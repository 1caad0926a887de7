// Where the child runs: in an idle control group high in the tree where the
// wrapper may make one, else in its session's group at nice 19; its disk
// access idle either way. Real groups in the machine's cpu hierarchy.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "linux/e2e_fixture.h"
#include "standin/standin.h"

namespace lull::testing {
namespace {

using std::chrono::seconds;

constexpr long io_class_idle = 3L << 13;  // IOPRIO_PRIO_VALUE(IOPRIO_CLASS_IDLE, 0)

std::string first_line(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);
  return line;
}

class Placement : public WrapperTest {
 protected:
  void SetUp() override {
    hierarchy_ = standin::cpu_hierarchy();
    if (::geteuid() != 0 || hierarchy_.empty() || ::access(hierarchy_.c_str(), W_OK) != 0)
      GTEST_SKIP() << "needs root and a writable v1 cpu hierarchy";
    if (std::filesystem::exists("/run/systemd/system"))
      GTEST_SKIP() << "a service manager owns this machine's tree";
  }

  std::string hierarchy_;
};

TEST_F(Placement, RootWithoutManagerUsesSharedIdleGroupAtTheTopAndRemovesIt) {
  const std::string job = link(lullrun_path, "job");
  WrapperProcess wrapper({.program = job,
                          .arguments = {test_child_path},
                          .environment = {report_variable(), "LULL_SLEEP_MS=300"}});
  const Report report = wait_for_report(report_path(), seconds(30));
  ASSERT_FALSE(report.empty());
  EXPECT_EQ(cpu_group(values(report, "cgroup")), "/lullrun-idle");
  // Read while the child is still in it: the group is idle.
  const std::string group = hierarchy_ + "/lullrun-idle";
  EXPECT_EQ(first_line(group + "/cpu.idle"), "1");
  EXPECT_EQ(values(report, "ioprio"), std::vector<std::string>{std::to_string(io_class_idle)});
  EXPECT_EQ(values(report, "oom"), std::vector<std::string>{"1000"});
  EXPECT_EQ(wrapper.wait(seconds(30)), 0);
  // Gone with the job, unless another job (another test's) is in it now.
  if (std::filesystem::exists(group)) {
    EXPECT_NE(first_line(group + "/cgroup.procs"), "");
  }
}

// When memory runs short in a group, the kernel takes the job, not the
// foreground beside it that holds more: the wrapper ends as its child was
// killed, and the foreground lives on.
TEST_F(Placement, WhenMemoryRunsShortTheKernelTakesTheJob) {
  const std::string group = "/sys/fs/cgroup/memory/lull-oom-" + std::to_string(::getpid());
  if (::mkdir(group.c_str(), 0755) != 0) GTEST_SKIP() << "needs a writable v1 memory hierarchy";
  write_file(group + "/memory.limit_in_bytes", std::to_string(320 << 20));
  const std::string enter = "echo $$ > " + group + "/cgroup.procs && exec \"$0\" \"$@\"";
  const std::string ready = folder_ / "ready";
  WrapperProcess foreground({.program = "/bin/sh",
                             .arguments = {"-c", enter, "/usr/bin/python3", "-c",
                                           "import time\nx = b'1' * (200 << 20)\nopen('" + ready +
                                               "', 'w')\ntime.sleep(120)"}});
  const auto deadline = std::chrono::steady_clock::now() + seconds(30);
  while (!std::filesystem::exists(ready) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  WrapperProcess job(
      {.program = "/bin/sh",
       .arguments = {"-c", enter, link(lullrun_path, "job"), "/usr/bin/python3", "-c",
                     "import time\na = []\nwhile True:\n a.append(b'1' * (8 << 20))\n"
                     " time.sleep(0.02)"}});
  EXPECT_EQ(job.wait(seconds(60)), 128 + SIGKILL);
  EXPECT_FALSE(foreground.wait(std::chrono::milliseconds(100)).has_value());  // still running
  ::kill(foreground.pid(), SIGKILL);
  foreground.wait(seconds(30));
  ::rmdir(group.c_str());
}

// With the tree read-only (a private mount namespace), the child stays in
// the wrapper's group and its session group is lowered instead.
TEST_F(Placement, ReadOnlyTreeFallsBackToSessionGroupAtNice19) {
  if (!std::filesystem::exists("/proc/self/autogroup"))
    GTEST_SKIP() << "this kernel does not group by session";
  const std::string job = link(lullrun_path, "job");
  const std::string remount = "mount -o remount,bind,ro " + hierarchy_ + " && exec \"$0\" \"$@\"";
  WrapperProcess wrapper(
      {.program = "/usr/bin/unshare",
       .arguments = {"-m", "--propagation", "private", "sh", "-c", remount, job, test_child_path},
       .environment = {report_variable()}});
  const Report report = wait_for_report(report_path(), seconds(30));
  ASSERT_FALSE(report.empty());
  EXPECT_EQ(cpu_group(values(report, "cgroup")), standin::group_of(::getpid()));
  const std::vector<std::string> session_group = values(report, "autogroup");
  ASSERT_EQ(session_group.size(), 1U);
  EXPECT_TRUE(session_group.front().ends_with(" nice 19")) << session_group.front();
  EXPECT_EQ(values(report, "ioprio"), std::vector<std::string>{std::to_string(io_class_idle)});
  EXPECT_EQ(wrapper.wait(seconds(30)), 0);
}

// The kernel takes an ordinary user's write to a session group at most every
// 100 ms, system-wide: of ten wrappers started together, some children are
// refused at first, and their wrappers must keep asking until every one of
// them is at nice 19.
TEST_F(Placement, TenOrdinaryUsersWrappersStartedTogetherAllReachNice19) {
  if (!std::filesystem::exists("/proc/self/autogroup"))
    GTEST_SKIP() << "this kernel does not group by session";
  std::filesystem::permissions(folder_.path(), std::filesystem::perms::all);
  const std::string job = link(lullrun_path, "job");
  constexpr int wrappers = 10;
  std::vector<std::unique_ptr<WrapperProcess>> started;
  for (int i = 0; i < wrappers; ++i) {
    const std::string report = folder_ / ("report" + std::to_string(i));
    started.push_back(std::make_unique<WrapperProcess>(Launch{
        .program = "/usr/bin/setpriv",
        .arguments = {"--reuid=65534", "--regid=65534", "--clear-groups", job, test_child_path},
        .environment = {"LULL_REPORT=" + report, "LULL_SLEEP_MS=60000"}}));
  }
  std::vector<pid_t> children;
  for (int i = 0; i < wrappers; ++i) {
    const Report report = wait_for_report(folder_ / ("report" + std::to_string(i)), seconds(30));
    ASSERT_EQ(values(report, "pid").size(), 1U) << "wrapper " << i;
    children.push_back(std::stoi(values(report, "pid").front()));
  }
  const auto lowered = [](pid_t child) {
    return first_line("/proc/" + std::to_string(child) + "/autogroup").ends_with(" nice 19");
  };
  const auto deadline = std::chrono::steady_clock::now() + seconds(20);
  int at_nice_19 = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    at_nice_19 = static_cast<int>(std::count_if(children.begin(), children.end(), lowered));
    if (at_nice_19 == wrappers) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(at_nice_19, wrappers);
  for (const pid_t child : children) ::kill(child, SIGKILL);
  for (auto& wrapper : started) EXPECT_EQ(wrapper->wait(seconds(30)), 128 + SIGKILL);
}

// A wrapper made multi-threaded behind its back (a preloaded library's
// thread) still places its child and says so, but the child, a forked copy
// of it, formats nothing: another thread may have held a lock the
// formatting needs at the fork. Its lines are written from fixed text.
class MultiThreadedWrapper : public WrapperTest {};

TEST_F(MultiThreadedWrapper, ChildWritesItsLinesWithoutFormatting) {
#ifdef LULL_SANITIZED
  GTEST_SKIP() << "a sanitizer's runtime comes before any preloaded library";
#endif
  const auto status =
      run_wrapper_process({.program = link(lullrun_path, "job"),
                           .arguments = {test_child_path},
                           .environment = {report_variable(), "LULLRUN_DEBUG=1",
                                           std::string("LD_PRELOAD=") + EXTRA_THREAD_PATH},
                           .standard_output = log_descriptor()},
                          seconds(60));
  EXPECT_EQ(status, 0);
  const Report report = wait_for_report(report_path(), seconds(5));
  ASSERT_EQ(values(report, "pid").size(), 1U);
  const std::string text = read_file(log_path());
  EXPECT_NE(text.find("more than one thread"), std::string::npos) << text;
  // The child's own line, by its id (the test child keeps the id it had).
  EXPECT_NE(text.find("[" + values(report, "pid").front() + "]: placed: "), std::string::npos)
      << text;
  EXPECT_EQ(text.find("formatted in a forked copy"), std::string::npos) << text;
}

}  // namespace
}  // namespace lull::testing
