// The program entry for Linux and other POSIX systems: who the program is,
// from the path it was started by, and its arguments. POSIX code only.
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/host.h"

namespace {

using lull::platform::ProgramIdentity;

std::string current_folder() {
  std::array<char, 4096> buffer{};
  return ::getcwd(buffer.data(), buffer.size()) != nullptr ? std::string(buffer.data()) : "";
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
  const char* path = std::getenv("PATH");
  const std::string search = path != nullptr ? path : "";
  for (std::size_t begin = 0; begin <= search.size();) {
    std::size_t end = search.find(':', begin);
    if (end == std::string::npos) end = search.size();
    std::string folder = search.substr(begin, end - begin);
    // Built, not assigned from a literal: GCC 12 at -O2 warns falsely (-Wrestrict) on that.
    if (folder.empty()) folder = std::string(1, '.');
    if (is_executable_file(folder + "/" + name)) {
      return folder.front() == '/' ? folder + "/" + name
                                   : current_folder() + "/" + folder + "/" + name;
    }
    begin = end + 1;
  }
  return "";
}

// The path the program was started by, symlinks kept, so that a link named
// after a job reads that job's settings file. Relative paths are taken
// against the current folder at start.
std::string started_path(const char* argv0) {
  const std::string name = argv0 != nullptr ? argv0 : "";
  if (name.empty()) return real_executable();
  if (name.front() == '/') return name;
  if (name.find('/') != std::string::npos) {
    const std::string folder = current_folder();
    return folder.empty() ? real_executable() : folder + "/" + name;
  }
  const std::string found = find_on_path(name);
  return found.empty() ? real_executable() : found;
}

ProgramIdentity identify(const char* argv0) {
  const std::string path = started_path(argv0);
  const std::size_t slash = path.rfind('/');
  ProgramIdentity identity;
  identity.folder = slash == std::string::npos ? "." : path.substr(0, slash);
  const std::string file = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::size_t dot = file.rfind('.');
  identity.base_name = dot == std::string::npos || dot == 0 ? file : file.substr(0, dot);
  return identity;
}

}  // namespace

int main(int argc, char** argv) {
  ProgramIdentity identity = identify(argc > 0 ? argv[0] : nullptr);
  // Anything after the program name is the child's argument vector, as given.
  if (argc > 1)
    identity.arguments =
        lull::platform::CommandLine::from_words(std::vector<std::string>(argv + 1, argv + argc));
  return lull::platform::program_main(identity);
}
