// The child's clean slate: idle in every thread from its first instruction,
// a session of its own, default signals, only the descriptors given.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "linux/e2e_fixture.h"
#include "platform/process.h"

namespace lull::testing {
namespace {

using std::chrono::seconds;

constexpr int sched_idle = 5;  // SCHED_IDLE's value in /proc and sched_getscheduler

class ChildSlate : public WrapperTest {
 protected:
  Report run_child(const Launch& launch) {
    WrapperProcess wrapper(launch);
    Report report = wait_for_report(report_path());
    EXPECT_EQ(wrapper.wait(patience), 0);
    return report;
  }
};

// The start service on its own, without the wrapper's later pass over the
// child's threads: only what it does before the exec can make the child idle
// at its first instruction, and the threads it makes at once with it.
TEST_F(ChildSlate, StartMakesEveryThreadIdleFromTheFirstInstruction) {
  if (thread_classes(::getpid()).front().policy == sched_idle) GTEST_SKIP() << "already idle";
  ::setenv("LULL_REPORT", report_path().c_str(), 1);
  ::setenv("LULL_THREADS", "6", 1);
  const platform::ProcessId child = platform::ProcessServices().start(
      platform::CommandLine::from_words({test_child_path}), platform::WindowStyle::normal_focus);
  ::unsetenv("LULL_REPORT");
  ::unsetenv("LULL_THREADS");
  ASSERT_NE(child, 0);
  const Report report = wait_for_report(report_path());
  EXPECT_TRUE(wait_until_gone(child, patience));
  ::waitpid(child, nullptr, 0);
  EXPECT_EQ(values(report, "first"),
            std::vector<std::string>{"policy " + std::to_string(sched_idle) + " nice 19"});
  const std::vector<std::string> threads = values(report, "thread");
  EXPECT_EQ(threads.size(), 7U);
  for (const std::string& thread : threads) {
    EXPECT_NE(thread.find(" policy " + std::to_string(sched_idle) + " nice 19"), std::string::npos)
        << thread;
  }
}

TEST_F(ChildSlate, WrappersOwnPriorityIsUnchanged) {
  const std::string job = link(lullrun_path, "job");
  WrapperProcess wrapper({.program = job,
                          .arguments = {test_child_path},
                          .environment = {report_variable(), hold_variable()}});
  ASSERT_FALSE(wait_for_report(report_path()).empty());
  // Past its start-up, the idle step included: watching, as it will till the end.
  ASSERT_TRUE(wait_until_settled(wrapper.pid(), -1, patience));
  const std::vector<ThreadClass> own = thread_classes(::getpid());
  const std::vector<ThreadClass> wrapper_threads = thread_classes(wrapper.pid());
  release_child();
  ASSERT_FALSE(wrapper_threads.empty());
  for (const ThreadClass& thread : wrapper_threads) {
    EXPECT_EQ(thread.policy, own.front().policy);
    EXPECT_EQ(thread.nice, own.front().nice);
  }
  EXPECT_EQ(wrapper.wait(patience), 0);
}

TEST_F(ChildSlate, SignalsDescriptorsSessionAndEnvironment) {
  const std::string job = link(lullrun_path, "job");
  const int given = ::open("/dev/null", O_RDONLY);  // not close-on-exec: the wrapper's to pass on
  ASSERT_GE(given, 3);
  const Report report = run_child({.program = job,
                                   .arguments = {test_child_path},
                                   .environment = {report_variable(), "LULL_MARKER=kept as is"},
                                   .ignored_signals = {SIGINT, SIGQUIT, SIGPIPE},
                                   .blocked_signals = {SIGUSR1, SIGTERM},
                                   .inherited_descriptor = given});
  ::close(given);
  EXPECT_EQ(values(report, "sigblk"), std::vector<std::string>{"0000000000000000"});
  EXPECT_EQ(values(report, "sigign"), std::vector<std::string>{"0000000000000000"});
  EXPECT_EQ(values(report, "fd"), (std::vector<std::string>{"0", "1", "2", std::to_string(given)}));
  EXPECT_EQ(values(report, "sid"), values(report, "pid"));  // a session of its own
  EXPECT_EQ(values(report, "marker"), std::vector<std::string>{"kept as is"});
}

TEST_F(ChildSlate, ChildsSessionGroupIsItsOwnAndOursIsUntouched) {
  std::ifstream own_before("/proc/self/autogroup");
  std::string before;
  if (!std::getline(own_before, before)) GTEST_SKIP() << "this kernel does not group by session";
  const std::string job = link(lullrun_path, "job");
  const Report report = run_child(
      {.program = job, .arguments = {test_child_path}, .environment = {report_variable()}});
  const std::vector<std::string> group = values(report, "autogroup");
  ASSERT_EQ(group.size(), 1U);
  // Where the child was placed in an idle control group, its session group
  // counts for nothing and is left as it is; the fall-back is tested with
  // the placement.
  EXPECT_NE(group.front(), before);
  std::ifstream own_after("/proc/self/autogroup");
  std::string after;
  std::getline(own_after, after);
  EXPECT_EQ(after, before);
}

}  // namespace
}  // namespace lull::testing
