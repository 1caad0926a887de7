// The wrapper lives exactly as long as its child, and ends with its status.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <ostream>

#include "linux/e2e_fixture.h"

namespace lull::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

class Lifetime : public WrapperTest {};

struct Ending {
  const char* name;
  std::vector<std::string> environment;
  int expected_status;
};

// Test names say which case failed; gtest need not print the bytes.
void PrintTo(const Ending& value, std::ostream* out) { *out << value.name; }

class ExitStatus : public WrapperTest, public ::testing::WithParamInterface<Ending> {};

TEST_P(ExitStatus, IsTheChildsAsAShellReportsIt) {
  const std::string job = link(lullrun_path, "job");
  EXPECT_EQ(
      run_wrapper_process(
          {.program = job, .arguments = {test_child_path}, .environment = GetParam().environment}),
      GetParam().expected_status);
}

INSTANTIATE_TEST_SUITE_P(Endings, ExitStatus,
                         ::testing::Values(Ending{"Success", {}, 0},
                                           Ending{"ExitCode", {"LULL_EXIT=3"}, 3},
                                           Ending{"Signal", {"LULL_KILL_SELF=15"}, 128 + 15}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Lifetime, FailedStartsEndAtOnceWithTheShellsStatus) {
  const std::string job = link(lullrun_path, "job");
  write_file(folder_ / "not-executable", "#!/bin/sh\n");
  // No fallback to a shell: run by one, this would end with 7.
  write_file(folder_ / "no-interpreter-line", "exit 7\n");
  std::filesystem::permissions(folder_ / "no-interpreter-line", std::filesystem::perms::owner_all);
  std::filesystem::create_directory(folder_ / "a-folder");
  const struct {
    std::vector<std::string> arguments;
    int status;
  } cases[] = {{{"no-such-program-anywhere"}, 127},
               {{folder_ / "no-such-file"}, 127},
               {{""}, 127},
               {{folder_ / "not-executable"}, 126},
               {{folder_ / "no-interpreter-line"}, 126},
               {{folder_ / "a-folder"}, 126}};
  for (const auto& failure : cases) {
    SCOPED_TRACE(failure.arguments.front());
    // Well inside the first 4-second tick: the failure is seen during start-up.
    EXPECT_EQ(run_wrapper_process({.program = job, .arguments = failure.arguments}, seconds(3)),
              failure.status);
  }
}

TEST_F(Lifetime, EndsSoonAfterItsChildNotAtTheNextTick) {
  const std::string job = link(lullrun_path, "job");
  WrapperProcess wrapper({.program = job,
                          .arguments = {test_child_path},
                          .environment = {report_variable(), hold_variable()}});
  ASSERT_FALSE(wait_for_report(report_path()).empty());
  // The child ends only once the wrapper's check at the start is behind it.
  ASSERT_TRUE(wait_until_settled(wrapper.pid(), -1, patience));
  release_child();
  EXPECT_EQ(wrapper.wait(patience), 0);
  const auto ended = std::chrono::steady_clock::now();
  const auto after_child = since_child_ended(ended);
  ASSERT_TRUE(after_child.has_value());
  // The tick alone could take up to 4 s; the change of state is seen at once.
  EXPECT_LT(*after_child, milliseconds(2000));
}

TEST_F(Lifetime, StaysWhileTheChildOutlivesATick) {
  const std::string job = link(lullrun_path, "job");
  WrapperProcess wrapper({.program = job,
                          .arguments = {test_child_path},
                          .environment = {report_variable(), hold_variable()}});
  ASSERT_FALSE(wait_for_report(report_path()).empty());
  ASSERT_TRUE(wait_until_settled(wrapper.pid(), -1, patience));
  // Nothing but the 4-second tick wakes a wrapper whose child runs on.
  EXPECT_TRUE(wait_until_settled(wrapper.pid(), sleeps_of(wrapper.pid()), patience));
  EXPECT_TRUE(wrapper.running());
  release_child();
  EXPECT_EQ(wrapper.wait(patience), 0);
}

// Processes the child starts are not watched: the wrapper ends with its child.
TEST_F(Lifetime, EndsWithTheChildNotWithWhatTheChildLeftRunning) {
  const std::string job = link(lullrun_path, "job");
  const std::string grandchild = folder_ / "grandchild.pid";
  const std::optional<int> status =
      run_wrapper_process({.program = job,
                           .arguments = {"/bin/sh", "-c",
                                         "sleep 600 </dev/null >/dev/null 2>&1 & echo $! >" +
                                             grandchild + "; exit 3"}});
  const std::string left = read_file(grandchild);
  ASSERT_FALSE(left.empty());
  const pid_t pid = std::stoi(left);
  const bool left_running = process_exists(pid);
  ::kill(pid, SIGKILL);
  EXPECT_EQ(status, 3);
  EXPECT_TRUE(left_running);
}

TEST_F(Lifetime, EndingTheWrapperLeavesTheChildRunning) {
  const std::string job = link(lullrun_path, "job");
  for (const int signal : {SIGKILL, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal);
    std::filesystem::remove(report_path());
    WrapperProcess wrapper({.program = job,
                            .arguments = {test_child_path},
                            .environment = {report_variable(), hold_variable()}});
    const Report report = wait_for_report(report_path());
    ASSERT_EQ(values(report, "pid").size(), 1U);
    const pid_t child = std::stoi(values(report, "pid").front());
    // As a terminal's Ctrl-C or hang-up would: to the wrapper's whole group.
    ::kill(-wrapper.pid(), signal);
    EXPECT_EQ(wrapper.wait(patience), 128 + signal);
    EXPECT_TRUE(process_exists(child));
    release_child();
    EXPECT_TRUE(wait_until_gone(child, patience));  // and it still ends on its own
  }
}

}  // namespace
}  // namespace lull::testing
