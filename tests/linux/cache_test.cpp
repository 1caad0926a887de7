// The job's page cache under a real wrapper, read back from its leaf's
// memory.stat: within the allowance once the job has streamed through more,
// left alone with LULLRUN_CACHE=0, the job's own memory neither reclaimed
// nor swapped out. Needs the memory controller on the job's leaf in a v2
// tree (the Debian 12 machine of the shared VM); skips elsewhere.
#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "linux/e2e_fixture.h"

namespace lull::testing {
namespace {

constexpr std::uint64_t mib = 1ULL << 20;
constexpr int input_mib = 384;

// Takes 64 MiB of its own, says where it runs, reads its input once, says
// so, and waits for its release.
constexpr const char* job = R"(import os, sys, time
own = bytearray(64 << 20)
for at in range(0, len(own), 4096): own[at] = 1
open(sys.argv[1] + "/cgroup", "w").write(open("/proc/self/cgroup").read())
with open(sys.argv[1] + "/input", "rb", buffering=0) as source:
    while source.read(1 << 20): pass
open(sys.argv[1] + "/read", "w").close()
while os.path.exists(sys.argv[1] + "/hold"): time.sleep(0.05))";

std::uint64_t stat_value(const std::string& leaf, const std::string& key) {
  std::ifstream stat(leaf + "/memory.stat");
  std::string name;
  std::uint64_t value = 0;
  while (stat >> name >> value)
    if (name == key) return value;
  return 0;
}

class PageCache : public WrapperTest {
 protected:
  // The job's leaf once the job has read its input (from the disk) under
  // LULLRUN_CACHE=`cache` and the wrapper has looked (at least once a
  // second while the cache grows); "" where it has no memory controller.
  std::string leaf_after_reading(const std::string& cache, const std::string& preload = "") {
    if (!std::filesystem::exists(folder_ / "input")) {
      std::ofstream out(folder_ / "input", std::ios::binary);
      const std::string block(mib, 'x');
      for (int i = 0; i < input_mib; ++i) out.write(block.data(), mib);
    }
    const int fd = ::open((folder_ / "input").c_str(), O_RDONLY);
    ::fdatasync(fd);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
    std::filesystem::remove(folder_ / "read");
    write_file(folder_ / "hold", "");
    wrapper_.emplace(Launch{
        .program = lullrun_path,
        .arguments = {"/usr/bin/python3", "-c", job, folder_.path().string()},
        .environment = {"LULLRUN_CACHE=" + cache, "LULLRUN_DEBUG=1", "LD_PRELOAD=" + preload},
        .standard_output = log_descriptor()});
    for (int i = 0; i < 1200 && !std::filesystem::exists(folder_ / "read"); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    const std::string text = read_file(folder_ / "cgroup");
    const std::size_t at = text.find("0::");
    if (at == std::string::npos) return "";
    const std::string leaf = "/sys/fs/cgroup" + text.substr(at + 3, text.find('\n', at) - at - 3);
    // Off, the wrapper hands no memory controller down: the job's pages are
    // then its scope's, which holds nothing else.
    for (const std::string& group : {leaf, leaf.substr(0, leaf.rfind('/'))})
      if (std::filesystem::exists(group + "/memory.stat")) return group;
    return "";
  }
  void finish_job() {
    release_child();
    if (wrapper_) {
      EXPECT_EQ(wrapper_->wait(patience), 0);
    }
    wrapper_.reset();
  }
  void TearDown() override { finish_job(); }
  std::optional<WrapperProcess> wrapper_;
};

TEST_F(PageCache, TheAllowanceHoldsAndLullrunCacheZeroTurnsItOff) {
  if (::access("/usr/bin/python3", X_OK) != 0) GTEST_SKIP() << "needs /usr/bin/python3";
  const std::string leaf = leaf_after_reading("32");
  if (leaf.empty()) GTEST_SKIP() << "no memory controller on the job's leaf (a hybrid or v1 tree)";
  EXPECT_LE(stat_value(leaf, "file"), 40 * mib) << "allowance 32 MiB";
  EXPECT_GE(stat_value(leaf, "anon"), 60 * mib) << "the job's own memory stays";
  // With swap on, none of the job's own memory went there for the allowance.
  if (std::filesystem::exists(leaf + "/memory.swap.current")) {
    EXPECT_EQ(read_file(leaf + "/memory.swap.current"), "0\n");
  }
  finish_job();
  EXPECT_GE(stat_value(leaf_after_reading("0"), "file"), (input_mib - 32) * mib);
}

// Before Linux 5.19 (no memory.reclaim, stood for by a preloaded library),
// the leaf's memory.high is lowered for a moment instead: the allowance
// holds all the same, and memory.high is "max" again afterwards.
TEST_F(PageCache, WithoutMemoryReclaimTheAllowanceHoldsAndMemoryHighIsPutBack) {
#ifdef LULL_SANITIZED
  GTEST_SKIP() << "a sanitizer's runtime comes before any preloaded library";
#endif
  if (::access("/usr/bin/python3", X_OK) != 0) GTEST_SKIP() << "needs /usr/bin/python3";
  const std::string leaf = leaf_after_reading("32", NO_RECLAIM_PATH);
  if (leaf.empty()) GTEST_SKIP() << "no memory controller on the job's leaf (a hybrid or v1 tree)";
  EXPECT_NE(read_file(log_path()).find("by lowering the leaf's memory.high"), std::string::npos)
      << read_file(log_path());
  EXPECT_LE(stat_value(leaf, "file"), 40 * mib) << "allowance 32 MiB";
  EXPECT_GE(stat_value(leaf, "anon"), 60 * mib) << "the job's own memory stays";
  EXPECT_EQ(read_file(leaf + "/memory.high"), "max\n");
}

}  // namespace
}  // namespace lull::testing
