// Which settings file the wrapper reads: the one named after the path it was
// started by, links not resolved.
#include <filesystem>

#include "linux/e2e_fixture.h"

namespace lull::testing {
namespace {

class Identity : public WrapperTest {
 protected:
  void SetUp() override { std::filesystem::create_directories(folder_ / "jobs"); }
  // Runs a pass-through wrapper and says which settings files exist afterwards.
  std::vector<std::string> settings_files_after(const Launch& launch) {
    EXPECT_EQ(run_wrapper_process(launch), 0);
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder_.path())) {
      if (entry.path().extension() == ".properties") {
        found.push_back(std::filesystem::relative(entry.path(), folder_.path()).string());
      }
    }
    return found;
  }
};

TEST_F(Identity, LinkNamedAfterAJobReadsThatJobsFile) {
  const std::string job = link(lullrun_path, "jobs/nightly");
  EXPECT_EQ(settings_files_after({.program = job, .arguments = {"true"}}),
            std::vector<std::string>{"jobs/nightly.properties"});
}

TEST_F(Identity, LastExtensionIsDropped) {
  const std::string job = link(lullrun_path, "jobs/nightly.backup.sh");
  EXPECT_EQ(settings_files_after({.program = job, .arguments = {"true"}}),
            std::vector<std::string>{"jobs/nightly.backup.properties"});
}

TEST_F(Identity, RelativePathIsTakenFromTheCurrentFolder) {
  link(lullrun_path, "jobs/nightly");
  EXPECT_EQ(settings_files_after(
                {.program = "./jobs/nightly", .arguments = {"true"}, .folder = folder_.path()}),
            std::vector<std::string>{"jobs/nightly.properties"});
}

TEST_F(Identity, BareNameIsFoundOnPath) {
  link(lullrun_path, "jobs/nightly");
  const char* path = std::getenv("PATH");
  EXPECT_EQ(settings_files_after({.program = "nightly",
                                  .arguments = {"true"},
                                  .environment = {"PATH=" + (folder_ / "jobs") + ":" +
                                                  (path != nullptr ? path : "/usr/bin:/bin")}}),
            std::vector<std::string>{"jobs/nightly.properties"});
}

}  // namespace
}  // namespace lull::testing
