// Whole-file reads and writes for the tests. No test framework here: the
// fuzzer includes it too.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace lull::testing {

// Paths are UTF-8 on every system; on Windows a plain string would be ANSI.
inline std::filesystem::path as_path(const std::string& path) {
  return std::u8string(path.begin(), path.end());
}

inline void write_file(const std::string& path, const std::string& text) {
  std::ofstream(as_path(path), std::ios::binary) << text;
}

// The file's bytes; "" when it cannot be read.
inline std::string read_file(const std::string& path) {
  std::ifstream in(as_path(path), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace lull::testing
