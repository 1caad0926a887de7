// A job that is frozen when its wrapper ends is let go: by the wrapper itself
// when a signal ends it, and by the next wrapper's start when it was killed
// outright. Real leaves in the machine's unified tree.
#include <unistd.h>

#include <thread>

#include "linux/e2e_fixture.h"

namespace lull::testing {
namespace {

using std::chrono::seconds;

// Whether cgroup.events says "frozen 1" within the patience (or 0, as asked).
bool becomes_frozen(const std::string& leaf, bool frozen) {
  const std::string wanted = frozen ? "frozen 1" : "frozen 0";
  const auto deadline = std::chrono::steady_clock::now() + seconds(10);
  while (read_file(leaf + "/cgroup.events").find(wanted) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

class Pause : public WrapperTest {};

TEST_F(Pause, AFrozenJobIsThawedWhenItsWrapperEnds) {
  const std::string job = link(lullrun_path, "job");
  for (const int signal : {SIGTERM, SIGKILL}) {
    SCOPED_TRACE(signal);
    std::filesystem::remove(report_path());
    WrapperProcess wrapper({.program = job,
                            .arguments = {test_child_path},
                            .environment = {report_variable(), hold_variable()}});
    const Report report = wait_for_report(report_path());
    ASSERT_EQ(values(report, "pid").size(), 1U);
    const pid_t child = std::stoi(values(report, "pid").front());
    std::string group;
    for (const std::string& line : values(report, "cgroup"))
      if (line.starts_with("0::")) group = line.substr(3);
    const std::string leaf = "/sys/fs/cgroup/unified" + group;
    if (group.find("/lullrun-job-") == std::string::npos || ::geteuid() != 0) {
      ::kill(child, SIGKILL);
      GTEST_SKIP() << "needs root and the job in a leaf of /sys/fs/cgroup/unified";
    }
    write_file(leaf + "/cgroup.freeze", "1");
    ASSERT_TRUE(becomes_frozen(leaf, true));
    ::kill(wrapper.pid(), signal);
    EXPECT_EQ(wrapper.wait(patience), 128 + signal);
    if (signal == SIGKILL) run_wrapper_process({.program = job, .arguments = {"/bin/true"}});
    EXPECT_TRUE(becomes_frozen(leaf, false));
    write_file(leaf + "/cgroup.freeze", "0");  // a failed check leaves nothing frozen
    release_child();
    EXPECT_TRUE(wait_until_gone(child, patience));
    ::rmdir(leaf.c_str());
  }
}

}  // namespace
}  // namespace lull::testing
