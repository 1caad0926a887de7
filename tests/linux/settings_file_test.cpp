// The settings file is the user's: odd files in its place never hang the
// wrapper, and what the user wrote survives every run.
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>

#include "linux/e2e_fixture.h"
#include "platform/file.h"
#include "settings/ini_stripper.h"

namespace lull::testing {
namespace {

struct OddFile {
  const char* name;
  std::function<void(const std::string&)> make;
  std::filesystem::file_type kind;
};

// Test names say which case failed; gtest need not print the bytes.
void PrintTo(const OddFile& value, std::ostream* out) { *out << value.name; }

class SettingsFile : public WrapperTest, public ::testing::WithParamInterface<OddFile> {};

// Reading a FIFO nobody writes to, or a device without end, would never
// finish: only a regular file is read.
TEST_P(SettingsFile, InItsPlaceCountsAsUnreadableAndNeverBlocks) {
  const std::string file = folder_ / "job.properties";
  GetParam().make(file);
  EXPECT_FALSE(platform::ReadableFile(file).is_open());
  const std::string job = link(lullrun_path, "job");
  // Every value empty: no child, only the wrapper, which needs no long wait.
  EXPECT_EQ(run_wrapper_process({.program = job}, std::chrono::seconds(20)), 127);
  EXPECT_EQ(run_wrapper_process(
                {.program = job, .arguments = {test_child_path}, .environment = {"LULL_EXIT=4"}}),
            4);
  EXPECT_EQ(std::filesystem::status(file).type(), GetParam().kind);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, SettingsFile,
    ::testing::Values(
        OddFile{"Fifo", [](const std::string& file) { ::mkfifo(file.c_str(), 0600); },
                std::filesystem::file_type::fifo},
        OddFile{"CharacterDevice",
                [](const std::string& file) { std::filesystem::create_symlink("/dev/zero", file); },
                std::filesystem::file_type::character},
        OddFile{"Folder", [](const std::string& file) { std::filesystem::create_directory(file); },
                std::filesystem::file_type::directory}),
    [](const auto& info) { return std::string(info.param.name); });

class SettingsText : public WrapperTest {};

TEST_F(SettingsText, UsersLastValueAndLineEndsSurviveAFirstRun) {
  const std::string job = link(lullrun_path, "job");
  write_file(folder_ / "job.properties", "[Main]\r\nClass_to_run=org.Main");
  EXPECT_EQ(run_wrapper_process({.program = job}), 127);
  EXPECT_EQ(read_file(folder_ / "job.properties"),
            "[Main]\r\nClass_to_run=org.Main\r\nJava_Executable_Path=\r\nClass_path_to_use=\r\n"
            "Args_if_any=\r\nJava_run_minimized_no_focus=\r\n");
}

long own_status_kib(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with(field)) return std::atol(line.c_str() + field.size());
  }
  return -1;
}

// A remark joins the fields after it until one holds an "=": a file of one
// remark and millions of empty fields would make one entry of many megabytes,
// searched again after every field, but for the limit on an entry's length.
TEST_F(SettingsText, EndlessRemarkIsReadInBoundedMemoryAndTime) {
  const std::string file = folder_ / "job.properties";
  write_file(file, "a remark\n" + std::string(8 << 20, '\n'));
  const pid_t lookup = ::fork();
  if (lookup == 0) {
    std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from here
    const long before = own_status_kib("VmRSS:");
    const bool empty = INIStripper("A", file).empty();
    ::_exit(empty && own_status_kib("VmHWM:") - before < 4096 ? 0 : 1);
  }
  ASSERT_GT(lookup, 0);
  const int ends = static_cast<int>(::syscall(SYS_pidfd_open, lookup, 0));
  pollfd ended{ends, POLLIN, 0};
  int ready = 0;
  do {
    ready = ::poll(&ended, 1, 60'000);
  } while (ready < 0 && errno == EINTR);
  if (ready != 1) ::kill(lookup, SIGKILL);
  int status = 0;
  ::waitpid(lookup, &status, 0);
  ::close(ends);
  ASSERT_EQ(ready, 1) << "the lookup took over a minute";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "the lookup grew by 4 MiB or more, or found a value";
  EXPECT_EQ(std::filesystem::file_size(file), 9 + (8 << 20) + 3U);  // "A=\n" appended
}

}  // namespace
}  // namespace lull::testing
