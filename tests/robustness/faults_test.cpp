// Faults while the wrapper runs: a full disk or an unwritable settings file at
// the moment of the append, a file-size limit, a settings file replaced or cut
// short between lookups, signals during start-up, and the child or the
// wrapper stopped and continued. The child must run as it would otherwise,
// and nothing of the user's file may be lost or torn.
#include <sys/mount.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <map>
#include <random>

#include "harness.h"
#include "linux/process_watch.h"
#include "test_files.h"

namespace lull::robustness {
namespace {

using testing::ScratchFolder;
using testing::sleeps_of;
using testing::wait_until_settled;

constexpr int java_status = 6;
constexpr int pass_through_status = 5;

// Settings that start the test child in Java mode, with the window-style key
// missing so that every Java run wants to append it.
std::string java_settings() {
  return "Java_Executable_Path=" + child_program +
         "\n"
         "Class_to_run=Main\n"
         "Args_if_any=exit=" +
         std::to_string(java_status) + "\n";
}

// Every key present, so that no run of either mode appends anything.
std::string every_key_settings() {
  return java_settings() +
         "Class_path_to_use=.\nJava_run_minimized_no_focus=\nExtern_run_minimized_no_focus=\n";
}

// Java settings padded with a section header to exactly `size` bytes; the
// class-path and window-style keys are missing.
std::string java_settings_of_size(std::size_t size) {
  const std::string settings = java_settings();
  return settings + "[" + std::string(size - settings.size() - 3, 'x') + "]\n";
}

Launch pass_through(std::vector<std::string> child_arguments = {}) {
  Launch launch;
  launch.arguments = {child_program, "exit=" + std::to_string(pass_through_status)};
  launch.arguments.insert(launch.arguments.end(), child_arguments.begin(), child_arguments.end());
  return launch;
}

int run(const Installed& job, const Launch& launch = {}) {
  const std::optional<int> status = wait_for(start(job.wrapper(), launch));
  if (!status) return -2;
  return exit_code(*status);
}

// ---- A full disk: a small file system of its own, filled to the last block.

class FullDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    adopt_orphans();
    std::filesystem::create_directories(disk_);
    if (::mount("lull-full-disk", disk_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=256k") != 0)
      GTEST_SKIP() << "cannot mount a small tmpfs here: " << std::strerror(errno);
    mounted_ = true;
  }
  void TearDown() override {
    if (mounted_) ::umount2(disk_.c_str(), MNT_DETACH);
  }

  // Writes a filler file until the file system has no block left.
  void fill() {
    const int fd = ::open((disk_ / "filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    const std::string block(4096, 'f');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    ASSERT_EQ(errno, ENOSPC);
    ::close(fd);
  }

  ScratchFolder scratch_;
  std::filesystem::path disk_ = scratch_.path() / "disk";
  bool mounted_ = false;
};

// The file fills its last block to all but six bytes: an appended line gets
// six bytes in before the disk refuses the rest.
TEST_F(FullDisk, AppendThatDoesNotFitLeavesTheFileAsItWas) {
  const Installed job(disk_ / "tools");
  const std::string before = java_settings_of_size(4090);
  write_file(job.settings(), before);
  fill();
  EXPECT_EQ(run(job), java_status);
  EXPECT_EQ(read_file(job.settings()), before);
  EXPECT_EQ(leftover_children(), 0);
}

TEST_F(FullDisk, MissingFileIsNotLeftHalfWritten) {
  const Installed job(disk_ / "tools");
  fill();
  EXPECT_EQ(run(job, pass_through()), pass_through_status);
  // Created or not, the file holds no piece of a line.
  EXPECT_EQ(read_file(job.settings()), "");
  EXPECT_EQ(leftover_children(), 0);
}

// ---- A file-size limit: writes beyond it fail with EFBIG and, unless
// ignored, raise SIGXFSZ, whose default action ends a process.

TEST(FileSizeLimit, AppendBeyondTheLimitLeavesTheFileAndStartsTheChild) {
  adopt_orphans();
  ScratchFolder scratch;
  const Installed job(scratch.path() / "tools");
  const std::string before = java_settings();
  write_file(job.settings(), before);
  Launch launch = pass_through();
  launch.file_size_limit = before.size() + 5;
  EXPECT_EQ(run(job, launch), pass_through_status);
  EXPECT_EQ(read_file(job.settings()), before);
  launch = {};
  launch.file_size_limit = before.size() + 5;
  EXPECT_EQ(run(job, launch), java_status);
  EXPECT_EQ(read_file(job.settings()), before);
  EXPECT_EQ(leftover_children(), 0);
}

// ---- A settings file that cannot be written: its folder mounted read-only
// (root is not held back by file permissions), or, for another user, modes.

class Unwritable : public ::testing::Test {
 protected:
  void SetUp() override { adopt_orphans(); }
  void TearDown() override {
    if (mounted_) ::umount2(job_.folder().c_str(), MNT_DETACH);
    std::filesystem::permissions(job_.folder(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add);
  }

  void make_read_only() {
    if (::geteuid() != 0) {
      std::filesystem::permissions(job_.folder(), std::filesystem::perms::owner_write,
                                   std::filesystem::perm_options::remove);
      if (std::filesystem::exists(job_.settings()))
        std::filesystem::permissions(job_.settings(), std::filesystem::perms::owner_write,
                                     std::filesystem::perm_options::remove);
      return;
    }
    const char* folder = job_.folder().c_str();
    if (::mount(folder, folder, nullptr, MS_BIND, nullptr) != 0)
      GTEST_SKIP() << "cannot bind-mount here: " << std::strerror(errno);
    mounted_ = true;
    if (::mount(nullptr, folder, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
      GTEST_SKIP() << "cannot remount read-only here: " << std::strerror(errno);
  }

  ScratchFolder scratch_;
  Installed job_{scratch_.path() / "tools"};
  bool mounted_ = false;
};

TEST_F(Unwritable, MissingKeysGiveEmptyValuesAndTheChildStillRuns) {
  const std::string before = java_settings();
  write_file(job_.settings(), before);
  make_read_only();
  if (IsSkipped()) return;
  EXPECT_EQ(run(job_), java_status);
  EXPECT_EQ(run(job_, pass_through()), pass_through_status);
  EXPECT_EQ(read_file(job_.settings()), before);
  EXPECT_EQ(leftover_children(), 0);
}

TEST_F(Unwritable, NoSettingsFileInAReadOnlyFolder) {
  make_read_only();
  if (IsSkipped()) return;
  EXPECT_EQ(run(job_, pass_through()), pass_through_status);
  EXPECT_FALSE(std::filesystem::exists(job_.settings()));
  EXPECT_EQ(leftover_children(), 0);
}

// ---- The settings file replaced, cut short and rewritten by another program
// while wrappers read it, key by key.

TEST(ChangingSettingsFile, ReplacedOrTruncatedBetweenLookups) {
  adopt_orphans();
  ScratchFolder scratch;
  const Installed job(scratch.path() / "tools");
  const std::string complete =
      java_settings() + "Class_path_to_use=.\nJava_run_minimized_no_focus=\n";
  write_file(job.settings(), complete);

  std::atomic<bool> done = false;
  std::thread editor([&] {
    std::mt19937 random(7);
    const std::string replacement = job.path("replacement");
    while (!done) {
      switch (random() % 3) {
        case 0:  // replaced by a new file under the same name
          write_file(replacement, complete);
          std::filesystem::rename(replacement, job.settings());
          break;
        case 1: {  // cut short in place
          std::error_code ignored;
          std::filesystem::resize_file(job.settings(), random() % complete.size(), ignored);
          break;
        }
        default:  // rewritten in place, a piece at a time
          write_file(job.settings(), complete.substr(0, random() % complete.size()));
          break;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 300));
    }
  });

  constexpr int runs = repeat(200, 60);
  std::map<int, int> java_outcomes;  // exit status (-1 a signal, -2 a hang) -> runs
  std::map<int, int> pass_through_outcomes;
  for (int i = 0; i < runs; ++i) {
    if (i % 2 == 0) {
      ++java_outcomes[run(job)];
    } else {
      ++pass_through_outcomes[run(job, pass_through())];
    }
  }
  done = true;
  editor.join();

  std::string figures;
  for (const auto& [status, count] : java_outcomes)
    figures += " status " + std::to_string(status) + ": " + std::to_string(count) + ";";
  std::printf("[ figures  ] %d Java-mode runs on a settings file changing under them:%s\n",
              runs / 2, figures.c_str());
  // The Java child ran, or a cut-short program name or argument kept it from
  // running or changed its status; no wrapper died of a signal or hung.
  for (const auto& [status, count] : java_outcomes)
    EXPECT_TRUE(status == 0 || status == java_status || status == 126 || status == 127)
        << count << " Java-mode runs ended with " << status;
  EXPECT_GT(java_outcomes[java_status], 0);
  // The pass-through child's command line is not in the file: it always runs.
  EXPECT_EQ(pass_through_outcomes, (std::map<int, int>{{pass_through_status, runs / 2}}));
  EXPECT_EQ(leftover_children(), 0);
}

// ---- Signals arriving during start-up.

bool catches(pid_t pid, int signal) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("SigCgt:"))
      return (std::stoull(line.substr(7), nullptr, 16) >> (signal - 1) & 1) != 0;
  }
  return false;
}

// Starts a wrapper and, from another thread, sends it `signals` in turn for as
// long as it runs; `until_caught` waits first until it catches that signal.
int run_under_signals(const Installed& job, const Launch& launch, const std::vector<int>& signals,
                      int until_caught = 0) {
  const pid_t wrapper = start(job.wrapper(), launch);
  std::atomic<bool> ended = false;
  std::thread sender([&] {
    if (until_caught != 0) {
      while (!ended && !catches(wrapper, until_caught)) std::this_thread::yield();
    }
    // A short pause after each signal leaves the processor idle now and then,
    // so the child, in the idle class from its start, is not starved.
    for (std::size_t i = 0; !ended; ++i) {
      ::kill(wrapper, signals[i % signals.size()]);
      std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
  });
  const std::optional<int> status = wait_for(wrapper);
  ended = true;
  sender.join();
  return status ? exit_code(*status) : -2;
}

// A handler installed without SA_RESTART (preloaded into the wrapper) makes
// every blocking call that a SIGUSR1 meets fail with EINTR.
TEST(SignalsDuringStartUp, InterruptedCallsAreRetried) {
  adopt_orphans();
  ScratchFolder scratch;
  const Installed job(scratch.path() / "tools");
  write_file(job.settings(), every_key_settings());
  constexpr int runs = repeat(100, 30);
  int right = 0;
  for (int i = 0; i < runs; ++i) {
    const std::string marker = job.path("ran" + std::to_string(i));
    Launch launch = i % 2 == 0 ? Launch{} : pass_through({"touch=" + marker});
    launch.preload_interrupting_handler = true;
    const int status = run_under_signals(job, launch, {SIGUSR1}, SIGUSR1);
    const int expected = i % 2 == 0 ? java_status : pass_through_status;
    EXPECT_EQ(status, expected) << "run " << i;
    if (i % 2 == 1) {
      EXPECT_TRUE(std::filesystem::exists(marker)) << "run " << i;
    }
    right += status == expected ? 1 : 0;
  }
  std::printf(
      "[ figures  ] %d of %d runs under a stream of interrupting signals started their child\n",
      right, runs);
  EXPECT_EQ(leftover_children(), 0);
}

// Signals the wrapper does not catch and whose default is to do nothing, and
// stops each followed by a continue.
TEST(SignalsDuringStartUp, IgnoredSignalsAndStopsChangeNothing) {
  adopt_orphans();
  ScratchFolder scratch;
  const Installed job(scratch.path() / "tools");
  write_file(job.settings(), every_key_settings());
  constexpr int runs = repeat(100, 30);
  for (int i = 0; i < runs; ++i) {
    const bool java = i % 2 == 0;
    const int status = run_under_signals(job, java ? Launch{} : pass_through(),
                                         {SIGCHLD, SIGWINCH, SIGURG, SIGSTOP, SIGCONT, SIGCONT});
    EXPECT_EQ(status, java ? java_status : pass_through_status) << "run " << i;
  }
  EXPECT_EQ(leftover_children(), 0);
}

// ---- Stopped and continued.

char process_state(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  std::getline(in, stat);
  const std::size_t close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() ? '?' : stat[close + 2];
}

bool wait_for_state(pid_t pid, char state) {
  for (int attempt = 0; attempt < 2000; ++attempt) {
    if (process_state(pid) == state) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

pid_t wait_for_pid_file(const std::string& path) {
  for (int attempt = 0; attempt < 2000; ++attempt) {
    const std::string text = read_file(path);
    if (!text.empty()) return static_cast<pid_t>(std::stol(text));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return 0;
}

class StoppedAndContinued : public ::testing::Test {
 protected:
  // Starts a wrapper whose child runs until its input is closed.
  void SetUp() override {
    adopt_orphans();
    ASSERT_EQ(::pipe2(feed_, O_CLOEXEC), 0);
    Launch launch = pass_through({"pid=" + job_.path("child.pid"), "stdin"});
    launch.standard_input = feed_[0];
    wrapper_ = start(job_.wrapper(), launch);
    ::close(feed_[0]);
    child_ = wait_for_pid_file(job_.path("child.pid"));
    ASSERT_NE(child_, 0);
  }
  void TearDown() override {
    if (feed_[1] >= 0) ::close(feed_[1]);
    ::kill(wrapper_, SIGCONT);
    wait_for(wrapper_);
    EXPECT_EQ(leftover_children(), 0);
  }
  void end_child() {
    ::close(feed_[1]);
    feed_[1] = -1;
  }

  ScratchFolder scratch_;
  Installed job_{scratch_.path() / "tools"};
  int feed_[2] = {-1, -1};
  pid_t wrapper_ = 0;
  pid_t child_ = 0;
};

// A stopped child still exists: the wrapper is told of the stop and keeps
// waiting, through the stop and after the continue.
TEST_F(StoppedAndContinued, StoppedChildIsStillWaitedFor) {
  ASSERT_TRUE(wait_until_settled(wrapper_, -1, std::chrono::seconds(20)));
  long sleeps = sleeps_of(wrapper_);
  ASSERT_EQ(::kill(child_, SIGSTOP), 0);
  ASSERT_TRUE(wait_for_state(child_, 'T'));
  EXPECT_TRUE(wait_until_settled(wrapper_, sleeps, std::chrono::seconds(20)))
      << "the wrapper ended while its child was stopped";
  sleeps = sleeps_of(wrapper_);
  ASSERT_EQ(::kill(child_, SIGCONT), 0);
  EXPECT_TRUE(wait_until_settled(wrapper_, sleeps, std::chrono::seconds(20)))
      << "the wrapper ended when its child was continued";
  end_child();
  const std::optional<int> status = wait_for(wrapper_);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(exit_code(*status), pass_through_status) << describe(*status);
}

// The wrapper stopped while its child ends notices the end once continued.
TEST_F(StoppedAndContinued, StoppedWrapperNoticesTheEndOnceContinued) {
  ASSERT_EQ(::kill(wrapper_, SIGSTOP), 0);
  ASSERT_TRUE(wait_for_state(wrapper_, 'T'));
  end_child();
  ASSERT_TRUE(wait_for_state(child_, 'Z'));  // ended, and not reaped by a stopped wrapper
  ASSERT_EQ(::kill(wrapper_, SIGCONT), 0);
  const std::optional<int> status = wait_for(wrapper_);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(exit_code(*status), pass_through_status) << describe(*status);
}

// Stopped and continued while the child runs, the wrapper goes on watching.
TEST_F(StoppedAndContinued, ContinuedWrapperKeepsWatching) {
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(::kill(wrapper_, SIGSTOP), 0);
    ASSERT_TRUE(wait_for_state(wrapper_, 'T'));
    ASSERT_EQ(::kill(wrapper_, SIGCONT), 0);
  }
  EXPECT_TRUE(wait_until_settled(wrapper_, -1, std::chrono::seconds(20)))
      << "the wrapper did not go back to watching";
  EXPECT_NE(process_state(child_), 'Z');
  end_child();
  const std::optional<int> status = wait_for(wrapper_);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(exit_code(*status), pass_through_status) << describe(*status);
}

}  // namespace
}  // namespace lull::robustness
