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

// ---- Signal dispositions and mask inherited from the caller.

std::vector<int> every_signal() {
  std::vector<int> signals;
  for (int signal = 1; signal < SIGRTMIN; ++signal) {
    if (signal != SIGKILL && signal != SIGSTOP) signals.push_back(signal);
  }
  return signals;
}

struct Inherited {
  const char* name;
  std::vector<int> ignored;
  std::vector<int> blocked;
};

void PrintTo(const Inherited& value, std::ostream* out) { *out << value.name; }

class InheritedSignals : public WrapperTest, public ::testing::WithParamInterface<Inherited> {};

// The child's status comes back, and at once: with SIGCHLD ignored the kernel
// would reap the child itself, and neither its status nor its end would reach
// the wrapper.
TEST_P(InheritedSignals, ChildsStatusComesBackAtOnce) {
  const std::string job = link(lullrun_path, "job");
  WrapperProcess wrapper({.program = job,
                          .arguments = {test_child_path},
                          .environment = {report_variable(), "LULL_SLEEP_MS=300", "LULL_EXIT=3"},
                          .ignored_signals = GetParam().ignored,
                          .blocked_signals = GetParam().blocked});
  EXPECT_EQ(wrapper.wait(seconds(20)), 3);
  const auto ended = std::chrono::steady_clock::now();
  const auto after_child = since_child_ended(ended);
  ASSERT_TRUE(after_child.has_value());
  // Well short of the 4-second tick that would otherwise end it.
  EXPECT_LT(*after_child, milliseconds(2000));
  // The child's own state is a clean slate whatever the wrapper inherited.
  const Report report = wait_for_report(report_path());
  EXPECT_EQ(values(report, "sigblk"), std::vector<std::string>{"0000000000000000"});
  EXPECT_EQ(values(report, "sigign"), std::vector<std::string>{"0000000000000000"});
}

INSTANTIATE_TEST_SUITE_P(States, InheritedSignals,
                         ::testing::Values(Inherited{"ChildSignalIgnored", {SIGCHLD}, {}},
                                           Inherited{"ChildSignalBlocked", {}, {SIGCHLD}},
                                           Inherited{"EverySignalIgnoredAndBlocked", every_signal(),
                                                     every_signal()}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- A descriptor limit that leaves one or two descriptors beside 0, 1 and
// 2 (`ulimit -n` lowers the hard limit too). The child still starts; a
// program that cannot run shows as its own status.

struct Limited {
  const char* name;
  rlim_t limit;
  std::vector<std::string> arguments;  // none: Java mode; CHILD: the test child
  int status;
};

void PrintTo(const Limited& value, std::ostream* out) { *out << value.name; }

class DescriptorLimit : public WrapperTest, public ::testing::WithParamInterface<Limited> {};

TEST_P(DescriptorLimit, ChildStartsWithItsStatus) {
  const Limited& limited = GetParam();
#ifdef LULL_SANITIZED
  // UndefinedBehaviorSanitizer checks a pointer by writing through a pipe of
  // its own, for which a limit of 4, or 5 once the wrapper watches, leaves no room.
  if (limited.limit < 6) GTEST_SKIP() << "no room for the sanitizers' own descriptors";
#endif
  write_file(folder_ / "job.properties",
             "Java_Executable_Path=" + test_child_path +
                 "\nClass_path_to_use=.\nClass_to_run=Main\nArgs_if_any=\n"
                 "Java_run_minimized_no_focus=\nExtern_run_minimized_no_focus=\n");
  write_file(folder_ / "not-executable", "#!/bin/sh\n");
  std::vector<std::string> arguments;
  for (const std::string& argument : limited.arguments) {
    arguments.push_back(argument == "CHILD" ? test_child_path : folder_ / argument);
  }
  const std::string job = link(lullrun_path, "job");
  EXPECT_EQ(run_wrapper_process({.program = job,
                                 .arguments = arguments,
                                 .environment = {"LULL_EXIT=3"},
                                 .descriptor_limit = limited.limit}),
            limited.status);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, DescriptorLimit,
    ::testing::Values(Limited{"PassThroughAtFour", 4, {"CHILD"}, 3},
                      Limited{"PassThroughAtFive", 5, {"CHILD"}, 3},
                      Limited{"JavaModeAtFour", 4, {}, 3}, Limited{"JavaModeAtFive", 5, {}, 3},
                      Limited{"MissingProgramAtFour", 4, {"no-such-program"}, 127},
                      Limited{"NotExecutableAtFive", 5, {"not-executable"}, 126}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- A current folder longer than getcwd can give (4,096 characters): the
// path the wrapper was started by is used as given.

// A folder nested under `base` until its path is longer than `length`, made
// and removed one name at a time, as no single call takes its whole path.
class DeepFolder {
 public:
  DeepFolder(const std::string& base, std::size_t length) : path_(base) {
    folders_.push_back(::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    while (path_.size() <= length && folders_.back() >= 0) {
      ::mkdirat(folders_.back(), name_.c_str(), 0700);
      folders_.push_back(
          ::openat(folders_.back(), name_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      path_ += "/" + name_;
    }
  }
  ~DeepFolder() {
    if (DIR* files = ::fdopendir(::dup(folders_.back()))) {
      while (const dirent* entry = ::readdir(files)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") ::unlinkat(::dirfd(files), entry->d_name, 0);
      }
      ::closedir(files);
    }
    for (std::size_t i = folders_.size() - 1; i > 0; --i) {
      ::close(folders_[i]);
      ::unlinkat(folders_[i - 1], name_.c_str(), AT_REMOVEDIR);
    }
    ::close(folders_.front());
  }
  DeepFolder(const DeepFolder&) = delete;
  DeepFolder& operator=(const DeepFolder&) = delete;

  [[nodiscard]] bool made() const { return folders_.back() >= 0; }
  [[nodiscard]] const std::string& path() const { return path_; }
  // The text of the file `name` in the deepest folder, or "" when there is none.
  [[nodiscard]] std::string read(const std::string& name) const {
    const int fd = ::openat(folders_.back(), name.c_str(), O_RDONLY | O_CLOEXEC);
    std::string text;
    char buffer[256];
    for (ssize_t got = 0; fd >= 0 && (got = ::read(fd, buffer, sizeof buffer)) > 0;)
      text.append(buffer, static_cast<std::size_t>(got));
    if (fd >= 0) ::close(fd);
    return text;
  }
  void remove(const std::string& name) const { ::unlinkat(folders_.back(), name.c_str(), 0); }
  void link_to(const std::string& program, const std::string& name) const {
    EXPECT_EQ(::symlinkat(program.c_str(), folders_.back(), name.c_str()), 0);
  }

 private:
  const std::string name_ = std::string(200, 'd');
  std::string path_;
  std::vector<int> folders_;
};

class LongFolder : public WrapperTest {};

TEST_F(LongFolder, ProgramKeepsItsNameAndFolder) {
  DeepFolder deep(folder_.path(), 5000);
  ASSERT_TRUE(deep.made());
  deep.link_to(lullrun_path, "deep-job");
  const struct {
    std::string program;
    std::vector<std::string> environment;
  } starts[] = {{"./deep-job", {}}, {"deep-job", {"PATH=."}}};
  for (const auto& start : starts) {
    SCOPED_TRACE(start.program);
    deep.remove("deep-job.properties");
    EXPECT_EQ(run_wrapper_process({.program = start.program,
                                   .arguments = {test_child_path},
                                   .folder = deep.path(),
                                   .environment = start.environment}),
              0);
    EXPECT_EQ(deep.read("deep-job.properties"), "Extern_run_minimized_no_focus=\n");
  }
  // A "." on PATH taken against a current folder that could not be had
  // would have named the root folder.
  EXPECT_FALSE(std::filesystem::remove("/deep-job.properties"));
}

}  // namespace
}  // namespace lull::testing
