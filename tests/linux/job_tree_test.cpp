// What the watch reads of a tree of groups, on plain folders shaped like one:
// which groups it watches, which count as job leaves, and what removing a
// leaf takes with it.
#include "platform/linux/job_tree.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/linux/job_leaf.h"
#include "test_files.h"

namespace lull::platform {
namespace {

class JobTreeTest : public ::testing::Test {
 protected:
  std::string make(const std::string& group) {
    std::string folder = folder_ / group;
    std::filesystem::create_directories(folder);
    return folder;
  }
  [[nodiscard]] std::vector<std::string> relative(std::vector<std::string> folders) const {
    for (std::string& folder : folders) folder.erase(0, folder_.path().string().size() + 1);
    std::ranges::sort(folders);
    return folders;
  }
  lull::testing::ScratchFolder folder_;
};

// Only where wrappers make them is a lullrun-job-* group a job's leaf: one
// an ordinary user made in a delegated group of their own is watched like
// any other, and switches no one's pause off.
TEST_F(JobTreeTest, LeavesCountOnlyWhereWrappersMakeThem) {
  make("lullrun-idle/lullrun-job-10-20");
  make("system.slice/a.service");
  make("user.slice/app-x-30-0000abcd.scope/lullrun-job-30-40");
  make("user.slice/user@1000.service/mine/lullrun-job-1-2");
  const JobTree tree = read_job_tree(folder_.path().string());
  EXPECT_EQ(relative(tree.leaves),
            (std::vector<std::string>{"lullrun-idle/lullrun-job-10-20",
                                      "user.slice/app-x-30-0000abcd.scope/lullrun-job-30-40"}));
  EXPECT_EQ(relative(tree.watched),
            (std::vector<std::string>{"system.slice", "user.slice/user@1000.service"}));
  EXPECT_FALSE(is_job_leaf("lullrun-idle", "lullrun-other"));
}

// The groups a job made below its leaf go with it, deepest first; a group
// still in use keeps the leaf, and nothing else is touched.
TEST_F(JobTreeTest, RemovingALeafTakesItsEmptyGroupsDeepestFirst) {
  const std::string leaf = make("lullrun-idle/lullrun-job-1-2");
  make("lullrun-idle/lullrun-job-1-2/a/b/c");
  make("lullrun-idle/lullrun-job-1-2/d");
  const std::vector<std::string> below = groups_below(leaf);
  ASSERT_EQ(below.size(), 4U);
  EXPECT_TRUE(below.front().ends_with("/c") || below.front().ends_with("/d"));
  remove_leaf(leaf);
  EXPECT_FALSE(std::filesystem::exists(leaf));
  EXPECT_TRUE(std::filesystem::exists(folder_ / "lullrun-idle"));

  make("lullrun-idle/lullrun-job-1-2/in-use");
  lull::testing::write_file(folder_ / "lullrun-idle/lullrun-job-1-2/in-use/file", "");
  remove_leaf(leaf);
  EXPECT_TRUE(std::filesystem::exists(leaf));
}

// A leaf whose wrapper is gone is thawed when a freeze was asked for, even
// where the kernel has not finished it yet (a task asleep in the disk reads
// "frozen 0" in cgroup.events); a live wrapper's leaf is left as it is.
TEST_F(JobTreeTest, ATidyThawsWhatWasAskedFrozenByAWrapperThatIsGone) {
  const std::string own =
      "lullrun-job-" + std::to_string(::getpid()) + "-" + start_time_of(::getpid());
  const std::string gone = make("lullrun-idle/lullrun-job-999999999-1");
  const std::string live = make("lullrun-idle/" + own);
  for (const std::string& leaf : {gone, live}) {
    lull::testing::write_file(leaf + "/cgroup.freeze", "1\n");
    lull::testing::write_file(leaf + "/cgroup.events", "populated 1\nfrozen 0\n");
  }
  EXPECT_EQ(
      relative(leaves_beside(make("lullrun-idle/lullrun-job-1-2"))),
      (std::vector<std::string>{"lullrun-idle/" + own, "lullrun-idle/lullrun-job-999999999-1"}));
  tidy_stale_leaves({gone, live});
  EXPECT_EQ(lull::testing::read_file(gone + "/cgroup.freeze"), "0\n");
  EXPECT_EQ(lull::testing::read_file(live + "/cgroup.freeze"), "1\n");
}

}  // namespace
}  // namespace lull::platform
