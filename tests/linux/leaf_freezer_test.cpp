// Freezing a real group of the unified tree: a thaw needs no new descriptor,
// and the guard thaws the group once its owner is killed outright.
#include "platform/linux/leaf_freezer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "linux/wrapper_harness.h"
#include "test_files.h"

namespace lull::platform {
namespace {

using std::chrono::milliseconds;

// A group of its own in the unified tree, for a process that sleeps in it.
class FrozenGroup : public ::testing::Test {
 protected:
  void SetUp() override {
    group_ = lull::testing::unified_mount() + "/lull-test-freezer-" + std::to_string(::getpid());
    if (::geteuid() != 0 || ::mkdir(group_.c_str(), 0755) != 0 ||
        ::access((group_ + "/cgroup.freeze").c_str(), W_OK) != 0)
      GTEST_SKIP() << "needs root and a unified tree with a freezer";
    sleeper_ = ::fork();
    if (sleeper_ == 0) {
      std::ofstream(group_ + "/cgroup.procs") << "0\n";
      ::pause();
      ::_exit(0);
    }
  }
  void TearDown() override {
    if (sleeper_ > 0) {
      ::kill(sleeper_, SIGKILL);
      ::waitpid(sleeper_, nullptr, 0);
    }
    for (int attempt = 0; attempt < 100 && ::rmdir(group_.c_str()) != 0 && errno == EBUSY;
         ++attempt)
      std::this_thread::sleep_for(milliseconds(10));
  }
  [[nodiscard]] bool asked_frozen() const {
    return lull::testing::read_file(group_ + "/cgroup.freeze") == "1\n";
  }

  // Runs `owner` in a process of its own, given a freezer that holds the
  // group frozen, and gives its exit status (1: it could not freeze), or
  // 128+N for signal N.
  template <typename Owner>
  int run_owner(Owner owner) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::alarm(10);  // a hang ends as SIGALRM
      int code = 1;
      {
        LeafFreezer freezer;
        if (freezer.open(group_) && freezer.freeze() == 0) code = owner(freezer);
      }
      ::_exit(code);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  std::string group_;
  pid_t sleeper_ = -1;
};

TEST_F(FrozenGroup, AThawNeedsNoDescriptorLeft) {
  const int status = run_owner([](LeafFreezer& freezer) {
    while (::open("/dev/null", O_RDONLY) >= 0) {
    }
    return freezer.thaw() == 0 && !freezer.thaw_owed() ? 0 : 2;
  });
  EXPECT_EQ(status, 0);
  EXPECT_FALSE(asked_frozen());
}

TEST_F(FrozenGroup, TheGuardThawsWhenItsOwnerIsKilledOutright) {
  const int status = run_owner([](LeafFreezer& /*holding*/) {
    (void)::raise(SIGKILL);
    return 2;
  });
  EXPECT_EQ(status, 128 + SIGKILL);
  const auto deadline = std::chrono::steady_clock::now() + milliseconds(1000);
  while (asked_frozen() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(milliseconds(10));
  EXPECT_FALSE(asked_frozen());
}

TEST_F(FrozenGroup, AClosedFreezerLeavesNeitherAFrozenGroupNorItsGuard) {
  const int status = run_owner([](LeafFreezer& freezer) {
    freezer.close();
    // The guard was our child: reaped, none is left.
    return ::waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD ? 0 : 2;
  });
  EXPECT_EQ(status, 0);
  EXPECT_FALSE(asked_frozen());
}

// A thaw the kernel refused is owed, and said so, until one is written: here
// cgroup.freeze is a pipe whose reader went away and then came back.
TEST(LeafFreezer, AFailedThawIsOwedUntilOneIsWritten) {
  const lull::testing::ScratchFolder folder;
  ASSERT_EQ(::mkfifo((folder / "cgroup.freeze").c_str(), 0600), 0);
  int reader = ::open((folder / "cgroup.freeze").c_str(), O_RDONLY | O_NONBLOCK);
  LeafFreezer freezer;
  ASSERT_TRUE(freezer.open(folder.path().string()));
  ::close(reader);
  struct sigaction ignore {
  }, before{};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &before);
  EXPECT_EQ(freezer.thaw(), EPIPE);
  EXPECT_TRUE(freezer.thaw_owed());
  EXPECT_EQ(freezer.thaw(), EPIPE);
  EXPECT_TRUE(freezer.thaw_owed());
  reader = ::open((folder / "cgroup.freeze").c_str(), O_RDONLY | O_NONBLOCK);
  EXPECT_EQ(freezer.thaw(), 0);
  EXPECT_FALSE(freezer.thaw_owed());
  char asked = 0;
  EXPECT_EQ(::read(reader, &asked, 1), 1);
  EXPECT_EQ(asked, '0');
  freezer.close();
  ::sigaction(SIGPIPE, &before, nullptr);
  ::close(reader);
}

// Where the page cache lowers memory.high for a moment, the guard puts it
// back, and thaws, when the wrapper is killed in between; here on plain
// files standing for the leaf's.
TEST(LeafFreezer, TheGuardPutsBackMemoryHighWhenItsOwnerIsKilledOutright) {
  const lull::testing::ScratchFolder folder;
  lull::testing::write_file(folder / "cgroup.freeze", "1\n");
  lull::testing::write_file(folder / "memory.high", "1234567\n");
  const pid_t owner = ::fork();
  if (owner == 0) {
    LeafFreezer freezer;
    const int high = ::open((folder / "memory.high").c_str(), O_RDWR);
    if (freezer.open(folder.path().string()) && freezer.guard_memory_high(high)) ::raise(SIGKILL);
    ::_exit(1);
  }
  int status = 0;
  ::waitpid(owner, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));
  const auto deadline = std::chrono::steady_clock::now() + milliseconds(1000);
  while (lull::testing::read_file(folder / "memory.high").starts_with("1") &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(milliseconds(10));
  EXPECT_TRUE(lull::testing::read_file(folder / "memory.high").starts_with("max"));
  EXPECT_TRUE(lull::testing::read_file(folder / "cgroup.freeze").starts_with("0"));
}

}  // namespace
}  // namespace lull::platform
