// The program entry for Linux: who the program is, from the path it was
// started by, and its arguments. Linux code only.
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <string>
#include <vector>

#include "platform/host.h"
#include "platform/linux/path_search.h"

namespace {

using lull::platform::ProgramIdentity;

// `path` taken against the current folder. A folder whose own path is longer
// than the system's limit has no absolute path to give, but the wrapper never
// leaves its folder: the relative path names the same file all along.
std::string from_current_folder(const std::string& path) {
  std::array<char, 4096> buffer{};
  if (::getcwd(buffer.data(), buffer.size()) == nullptr) return path;
  return std::string(buffer.data()).append("/").append(path);
}

std::string real_executable() {
  std::array<char, 4096> buffer{};
  const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  return length > 0 ? std::string(buffer.data(), static_cast<std::size_t>(length)) : "";
}

bool is_executable_file(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

// A bare name is found on PATH as the shell found it.
std::string find_on_path(const std::string& name) {
  for (const std::string& candidate : lull::platform::path_candidates(name)) {
    if (is_executable_file(candidate))
      return candidate.front() == '/' ? candidate : from_current_folder(candidate);
  }
  return "";
}

// The path the program was started by, symlinks kept, so that a link named
// after a job reads that job's settings file. Relative paths are taken
// against the current folder at start.
std::string started_path(const char* argv0) {
  std::string name = argv0 != nullptr ? argv0 : "";
  if (name.empty()) return real_executable();
  if (name.front() == '/') return name;
  if (name.find('/') != std::string::npos) return from_current_folder(name);
  const std::string found = find_on_path(name);
  return found.empty() ? real_executable() : found;
}

}  // namespace

int main(int argc, char** argv) {
  ProgramIdentity identity =
      lull::platform::identity_of(started_path(argc > 0 ? argv[0] : nullptr));
  // Anything after the program name is the child's argument vector, as given.
  if (argc > 1)
    identity.arguments =
        lull::platform::CommandLine::from_words(std::vector<std::string>(argv + 1, argv + argc));
  return lull::platform::program_main(identity);
}
