// Odd states the wrapper may be started in: a terminal as its input, a
// SIGCHLD ignored or blocked by its caller, a tight descriptor limit, a
// current folder too long for getcwd. It must do its work as usual.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <ostream>
#include <string_view>

#include "linux/e2e_fixture.h"

namespace lull::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

std::string link_target(const std::string& link) {
  std::error_code error;
  return std::filesystem::read_symlink(link, error).string();
}

// ---- A terminal as standard input: the hidden child must not read it, or it
// takes the lines typed to the shell. Any other input is passed on.

class TerminalInput : public WrapperTest {
 protected:
  void SetUp() override {
    terminal_master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(terminal_master_, 0);
    ASSERT_EQ(::grantpt(terminal_master_), 0);
    ASSERT_EQ(::unlockpt(terminal_master_), 0);
    terminal_name_ = ::ptsname(terminal_master_);
    terminal_ = ::open(terminal_name_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(terminal_, 0);
  }
  void TearDown() override {
    ::close(terminal_);
    ::close(terminal_master_);
  }
  Report run_child(int input, int output) {
    const std::string job = link(lullrun_path, "job");
    EXPECT_EQ(run_wrapper_process({.program = job,
                                   .arguments = {test_child_path},
                                   .environment = {report_variable()},
                                   .standard_input = input,
                                   .standard_output = output}),
              0);
    return wait_for_report(report_path());
  }

  int terminal_master_ = -1;
  int terminal_ = -1;
  std::string terminal_name_;
};

TEST_F(TerminalInput, ChildReadsNothingOutputStaysOnTheTerminal) {
  const Report report = run_child(terminal_, terminal_);
  EXPECT_EQ(values(report, "input"), std::vector<std::string>{"/dev/null"});
  EXPECT_EQ(values(report, "output"), std::vector<std::string>{terminal_name_});
  EXPECT_EQ(values(report, "fd"), (std::vector<std::string>{"0", "1", "2"}));
}

TEST_F(TerminalInput, OtherInputIsPassedOn) {
  int feed[2];
  ASSERT_EQ(::pipe2(feed, O_CLOEXEC), 0);
  const std::string pipe = link_target("/proc/self/fd/" + std::to_string(feed[0]));
  const Report report = run_child(feed[0], terminal_);
  ::close(feed[0]);
  ::close(feed[1]);
  EXPECT_EQ(values(report, "input"), std::vector<std::string>{pipe});
  EXPECT_EQ(values(report, "output"), std::vector<std::string>{terminal_name_});
}

}  // namespace
}  // namespace lull::testing
