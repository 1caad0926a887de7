// The job's page cache under a real wrapper, read back from its leaf's
// memory.stat: held within the allowance while the job streams through more,
// left alone with LULLRUN_CACHE=0, and the job's own memory never swapped
// out for it. Needs a v2 tree whose memory controller reaches the job's leaf
// (a v2-only machine, such as the Debian 12 one of the shared VM).
#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "linux/e2e_fixture.h"

namespace lull::testing {
namespace {

using std::chrono::milliseconds;
constexpr std::uint64_t mib = 1ULL << 20;
constexpr int input_mib = 384;

// The job: says where it runs, takes 64 MiB of its own memory, reads its
// input once, says so, and waits for its release.
constexpr const char* job = R"(
import os, sys, time
folder = sys.argv[1]
own = bytearray(64 << 20)
for at in range(0, len(own), 4096):
    own[at] = 1
with open(folder + "/cgroup", "w") as out:
    out.write(open("/proc/self/cgroup").read())
with open(folder + "/input", "rb", buffering=0) as source:
    while source.read(1 << 20):
        pass
open(folder + "/read", "w").close()
end = time.monotonic() + 60
while os.path.exists(folder + "/hold") and time.monotonic() < end:
    time.sleep(0.05)
)";

// A value of the leaf's memory.stat, in bytes.
std::uint64_t stat_value(const std::string& leaf, const std::string& key) {
  std::ifstream stat(leaf + "/memory.stat");
  std::string name;
  std::uint64_t value = 0;
  while (stat >> name >> value)
    if (name == key) return value;
  return 0;
}

bool swap_on() {
  std::ifstream swaps("/proc/swaps");
  std::string line;
  std::getline(swaps, line);  // the heading
  return static_cast<bool>(std::getline(swaps, line));
}

class PageCache : public WrapperTest {
 protected:
  void SetUp() override {
    if (::access("/usr/bin/python3", X_OK) != 0) GTEST_SKIP() << "needs /usr/bin/python3";
    const std::string input = folder_ / "input";
    const std::string block(mib, 'x');
    std::ofstream out(input, std::ios::binary);
    for (int i = 0; i < input_mib; ++i)
      out.write(block.data(), static_cast<std::streamsize>(block.size()));
  }

  // Runs the job under the wrapper with `cache` as LULLRUN_CACHE, and reads
  // its leaf once it has read its input and the wrapper has had time to
  // look. "" with a reason in `why` where the leaf has no memory controller.
  std::string run_job(const std::string& cache, std::string& why,
                      const std::function<void(const std::string&)>& check) {
    const std::string input = folder_ / "input";
    const int fd = ::open(input.c_str(), O_RDONLY);  // the input is read from the disk
    ::fdatasync(fd);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
    std::filesystem::remove(folder_ / "read");
    write_file(folder_ / "hold", "");
    WrapperProcess wrapper({.program = lullrun_path,
                            .arguments = {"/usr/bin/python3", "-c", job, folder_.path().string()},
                            .environment = {"LULLRUN_CACHE=" + cache}});
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (!std::filesystem::exists(folder_ / "read") &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(milliseconds(50));
    // The wrapper looks at least once a second while the cache grows.
    std::this_thread::sleep_for(milliseconds(2500));
    std::string leaf;
    for (const std::string& line : lines_of(read_file(folder_ / "cgroup")))
      if (line.starts_with("0::")) leaf = "/sys/fs/cgroup" + line.substr(3);
    if (!std::filesystem::exists(leaf + "/memory.stat"))
      why = "no memory controller on the job's leaf " + leaf + " (a hybrid or v1 tree)";
    else
      check(leaf);
    release_child();
    EXPECT_EQ(wrapper.wait(patience), 0);
    return leaf;
  }

  static std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
};

TEST_F(PageCache, TheAllowanceHoldsAndLullrunCacheZeroTurnsItOff) {
  std::string why;
  run_job("32", why, [](const std::string& leaf) {
    EXPECT_LE(stat_value(leaf, "file"), 40 * mib) << "allowance 32 MiB";
    EXPECT_GE(stat_value(leaf, "anon"), 60 * mib) << "the job's own memory stays";
  });
  if (!why.empty()) GTEST_SKIP() << why;
  run_job("0", why, [](const std::string& leaf) {
    EXPECT_GE(stat_value(leaf, "file"), (input_mib - 32) * mib) << "nothing asked back";
  });
}

TEST_F(PageCache, TheJobsOwnMemoryIsNeverSwappedOutForIt) {
  if (!swap_on()) GTEST_SKIP() << "no swap on: nothing could be swapped out";
  std::string why;
  run_job("32", why, [](const std::string& leaf) {
    EXPECT_EQ(read_file(leaf + "/memory.swap.current"), "0\n");
    EXPECT_GE(stat_value(leaf, "anon"), 60 * mib);
  });
  if (!why.empty()) GTEST_SKIP() << why;
}

}  // namespace
}  // namespace lull::testing
