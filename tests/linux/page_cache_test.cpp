// The page cache's rules fed with memory.stat texts and rates: what is asked
// back, the allowance, the pace.
#include "platform/linux/page_cache.h"

#include <gtest/gtest.h>

namespace lull::platform {
namespace {

using std::chrono::milliseconds;
constexpr std::uint64_t mib = 1ULL << 20;

TEST(PageCacheRules, ReadsFilePagesAndNotTheirNamesakes) {
  // file_mapped shares the prefix: a reader matching prefixes takes it for "file".
  const CacheUse use = cache_use(
      "anon 1000\nfile_mapped 7\nfile 300\nkernel 5\nactive_file 100\ninactive_file 200\n"
      "file_dirty 30\nfile_writeback 20\n");
  EXPECT_TRUE(use.read);
  EXPECT_EQ(use.file, 300U);
  EXPECT_EQ(use.inactive_file, 200U);
  EXPECT_EQ(use.dirty, 50U);
  EXPECT_FALSE(cache_use("anon 5\nfile_mapped 7\n").read);
}

TEST(PageCacheRules, AsksOnlyForCleanFilePagesAboveTheAllowance) {
  const auto use = [](std::uint64_t file, std::uint64_t inactive, std::uint64_t dirty) {
    return CacheUse{file * mib, inactive * mib, dirty * mib, true};
  };
  EXPECT_EQ(bytes_to_ask(use(64, 64, 0), 64 * mib, true), 0U);
  EXPECT_EQ(bytes_to_ask(use(500, 100, 0), 64 * mib, true), 436 * mib);
  // Dirty pages count toward the allowance but are never asked for.
  EXPECT_EQ(bytes_to_ask(use(500, 100, 450), 64 * mib, true), 50 * mib);
  EXPECT_EQ(bytes_to_ask(use(500, 100, 600), 64 * mib, true), 0U);
  // Without swappiness=0: no more than the inactive file pages.
  EXPECT_EQ(bytes_to_ask(use(500, 100, 0), 64 * mib, false), 100 * mib);
}

TEST(PageCacheRules, TheAllowanceAndThePaceKeepTheirBounds) {
  EXPECT_EQ(cache_allowance(512 * mib), 64 * mib);
  EXPECT_EQ(cache_allowance(2048 * mib), 128 * mib);
  EXPECT_EQ(cache_allowance(65536 * mib), 256 * mib);
  // A look each time the job has filled half the allowance, 100 ms to 1 s.
  EXPECT_EQ(look_interval(0, milliseconds(1000), 64 * mib), milliseconds::max());
  EXPECT_EQ(look_interval(64 * mib, milliseconds(1000), 64 * mib), milliseconds(500));
  EXPECT_EQ(look_interval(4096 * mib, milliseconds(1000), 64 * mib), milliseconds(100));
  EXPECT_EQ(look_interval(1 * mib, milliseconds(4000), 64 * mib), milliseconds(1000));
}

}  // namespace
}  // namespace lull::platform
