// A scratch folder with the wrappers linked into it under job names, and the
// paths of the programs the tests run.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

#include "linux/process_watch.h"
#include "linux/wrapper_harness.h"
#include "test_files.h"

namespace lull::testing {

inline const std::string lullrun_path = LULLRUN_PATH;
inline const std::string lullspawn_path = LULLSPAWN_PATH;
inline const std::string test_child_path = TEST_CHILD_PATH;

class WrapperTest : public ::testing::Test {
 protected:
  ~WrapperTest() override {
    if (log_ >= 0) ::close(log_);
  }
  // A link named `name` in the scratch folder to the built `program`: the
  // wrapper then reads `name`.properties beside the link.
  std::string link(const std::string& program, const std::string& name) {
    const std::string path = folder_ / name;
    EXPECT_EQ(::symlink(program.c_str(), path.c_str()), 0);
    return path;
  }
  [[nodiscard]] std::string report_path() const { return folder_ / "report"; }
  [[nodiscard]] std::string report_variable() const { return "LULL_REPORT=" + report_path(); }
  // How long after the test child ended (it writes the moment to the report's
  // ".end" file) the wrapper was seen to end at `wrapper_ended`; nothing when
  // the child never wrote it.
  [[nodiscard]] std::optional<std::chrono::steady_clock::duration> since_child_ended(
      std::chrono::steady_clock::time_point wrapper_ended) const {
    const std::string child_end = read_file(report_path() + ".end");
    if (child_end.empty()) return std::nullopt;
    const std::chrono::steady_clock::time_point child_ended{
        std::chrono::steady_clock::duration(std::stoll(child_end))};
    return wrapper_ended - child_ended;
  }
  // The test child waits after its report until the test releases it, or
  // the scratch folder goes with a test that failed on the way.
  [[nodiscard]] std::string hold_variable() const {
    write_file(folder_ / "hold", "");
    return "LULL_HOLD=" + (folder_ / "hold");
  }
  void release_child() const { std::filesystem::remove(folder_ / "hold"); }
  // A wrapper started with log_descriptor() as its standard output and error
  // leaves its lines in log_path().
  [[nodiscard]] std::string log_path() const { return folder_ / "log"; }
  int log_descriptor() {
    if (log_ < 0) log_ = ::open(log_path().c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    return log_;
  }

  ScratchFolder folder_;
  int log_ = -1;
};

}  // namespace lull::testing
