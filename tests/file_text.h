// Whole-file reads and writes for the tests. No test framework here: the
// fuzzer includes it too.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

namespace lull::testing {

inline void write_file(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// The file's bytes; "" when it cannot be read.
inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace lull::testing
