// Scratch folders and whole-file reads and writes for the tests.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

namespace lull::testing {

// A fresh folder for one test, removed afterwards.
class ScratchFolder {
 public:
  ScratchFolder() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    // Named after the test, and made unique: the same test may run at the same
    // moment in another build tree, whose folder this one must not remove.
    std::string name = std::string("lull-") + info->test_suite_name() + "-" + info->name() + "-" +
                       std::to_string(std::random_device{}());
    for (char& c : name) {
      if (c == '/') c = '_';
    }
    path_ = std::filesystem::temp_directory_path() / name;
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  [[nodiscard]] const std::filesystem::path& path() const { return path_; }
  [[nodiscard]] std::string operator/(const std::string& name) const {
    return (path_ / name).string();
  }

 private:
  std::filesystem::path path_;
};

// Paths are UTF-8 on every system; on Windows a plain string would be ANSI.
inline std::filesystem::path as_path(const std::string& path) {
  return std::u8string(path.begin(), path.end());
}

inline void write_file(const std::string& path, const std::string& text) {
  std::ofstream(as_path(path), std::ios::binary) << text;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(as_path(path), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace lull::testing
