// The settings file is the user's: odd files in its place never hang the
// wrapper, and what the user wrote survives every run.
#include <sys/stat.h>

#include <filesystem>

#include "linux/e2e_fixture.h"

namespace lull::testing {
namespace {

using std::chrono::seconds;

class SettingsFile : public WrapperTest {};

TEST_F(SettingsFile, FifoInItsPlaceCountsAsUnreadableAndNeverBlocks) {
  const std::string job = link(lullrun_path, "job");
  ASSERT_EQ(::mkfifo((folder_ / "job.properties").c_str(), 0600), 0);
  // Nobody writes to the FIFO: opening it for reading would wait for ever.
  EXPECT_EQ(run_wrapper_process({.program = job}, seconds(10)), 127);
  EXPECT_EQ(run_wrapper_process({.program = job, .arguments = {"true"}}, seconds(10)), 0);
  EXPECT_TRUE(std::filesystem::is_fifo(folder_ / "job.properties"));
}

TEST_F(SettingsFile, UsersLastValueAndLineEndsSurviveAFirstRun) {
  const std::string job = link(lullrun_path, "job");
  write_file(folder_ / "job.properties", "[Main]\r\nClass_to_run=org.Main");
  EXPECT_EQ(run_wrapper_process({.program = job}), 127);
  EXPECT_EQ(read_file(folder_ / "job.properties"),
            "[Main]\r\nClass_to_run=org.Main\r\nJava_Executable_Path=\r\nClass_path_to_use=\r\n"
            "Args_if_any=\r\nJava_run_minimized_no_focus=\r\n");
}

TEST_F(SettingsFile, FolderInItsPlaceStillLetsTheChildStart) {
  const std::string job = link(lullrun_path, "job");
  std::filesystem::create_directory(folder_ / "job.properties");
  EXPECT_EQ(run_wrapper_process(
                {.program = job, .arguments = {test_child_path}, .environment = {"LULL_EXIT=4"}}),
            4);
}

}  // namespace
}  // namespace lull::testing
