// Which settings file the wrapper reads: the one named after the path it was
// started by, links not resolved.
#include <cstdlib>
#include <filesystem>
#include <ostream>

#include "linux/e2e_fixture.h"

namespace lull::testing {
namespace {

// How the test starts the wrapper in jobs/.
enum class StartedBy {
  full_path,              // its full path
  relative_path,          // ./jobs/NAME, from the scratch folder
  name_on_path,           // NAME, with jobs/ on PATH
  name_on_relative_path,  // NAME, with the relative entry "jobs" on PATH
  name_not_found,         // its full path, but with an argv[0] no PATH entry holds
};

struct Started {
  const char* name;
  std::string file;  // the wrapper's file in jobs/: a link to lullrun, or a copy of it
  bool copy;
  StartedBy how;
  std::string settings;  // the one settings file afterwards, from the scratch folder
};

// Test names say which case failed; gtest need not print the bytes.
void PrintTo(const Started& value, std::ostream* out) { *out << value.name; }

class Identity : public WrapperTest, public ::testing::WithParamInterface<Started> {};

TEST_P(Identity, ReadsTheSettingsFileNamedAfterThePathStartedBy) {
  const Started& started = GetParam();
  std::filesystem::create_directories(folder_ / "jobs");
  const std::string file = folder_ / ("jobs/" + started.file);
  if (started.copy) {
    std::filesystem::copy_file(lullrun_path, file);  // the running executable is in jobs/ then
  } else {
    link(lullrun_path, "jobs/" + started.file);
  }
  const char* inherited = std::getenv("PATH");
  const std::string path = inherited != nullptr ? inherited : "/usr/bin:/bin";
  Launch launch{.program = file, .arguments = {"true"}, .folder = folder_.path()};
  switch (started.how) {
    case StartedBy::full_path:
      break;
    case StartedBy::relative_path:
      launch.program = "./jobs/" + started.file;
      break;
    case StartedBy::name_on_path:
      launch.program = started.file;
      launch.environment = {"PATH=" + (folder_ / "jobs") + ":" + path};
      break;
    case StartedBy::name_on_relative_path:
      launch.program = started.file;
      launch.environment = {"PATH=jobs:" + path};
      break;
    case StartedBy::name_not_found:
      launch.argv0 = "no-such-job-anywhere";
      break;
  }
  EXPECT_EQ(run_wrapper_process(launch), 0);
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder_.path())) {
    if (entry.path().extension() == ".properties") {
      found.push_back(std::filesystem::relative(entry.path(), folder_.path()).string());
    }
  }
  EXPECT_EQ(found, std::vector<std::string>{started.settings});
}

INSTANTIATE_TEST_SUITE_P(
    Paths, Identity,
    ::testing::Values(Started{"LinkNamedAfterAJob", "nightly", false, StartedBy::full_path,
                              "jobs/nightly.properties"},
                      Started{"LastExtensionIsDropped", "nightly.backup.sh", false,
                              StartedBy::full_path, "jobs/nightly.backup.properties"},
                      Started{"NameThatOnlyStartsWithADotKeepsIt", ".job", false,
                              StartedBy::full_path, "jobs/.job.properties"},
                      Started{"RelativePathIsTakenFromTheCurrentFolder", "nightly", false,
                              StartedBy::relative_path, "jobs/nightly.properties"},
                      Started{"BareNameIsFoundOnPath", "nightly", false, StartedBy::name_on_path,
                              "jobs/nightly.properties"},
                      Started{"RelativePathEntryIsTakenFromTheCurrentFolder", "nightly", false,
                              StartedBy::name_on_relative_path, "jobs/nightly.properties"},
                      Started{"NameNotFoundFallsBackToTheRunningExecutable", "real-file", true,
                              StartedBy::name_not_found, "jobs/real-file.properties"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace lull::testing
