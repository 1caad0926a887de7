// The walk along PATH. Linux code only.
#include "platform/linux/path_search.h"

#include <unistd.h>

#include <cstdlib>

namespace lull::platform {
namespace {

// confstr's default path ("/bin:/usr/bin" in glibc), as execvp uses it.
std::string default_path() {
  const std::size_t size = ::confstr(_CS_PATH, nullptr, 0);
  if (size == 0) return "/bin:/usr/bin";
  std::string path(size, '\0');
  ::confstr(_CS_PATH, path.data(), size);
  path.resize(size - 1);
  return path;
}

}  // namespace

std::vector<std::string> path_candidates(const std::string& name) {
  if (name.empty() || name.find('/') != std::string::npos) return {name};
  const char* path = std::getenv("PATH");
  const std::string search = path != nullptr ? path : default_path();
  std::vector<std::string> candidates;
  for (std::size_t begin = 0; begin <= search.size();) {
    std::size_t end = search.find(':', begin);
    if (end == std::string::npos) end = search.size();
    std::string candidate = end > begin ? search.substr(begin, end - begin) : ".";
    candidates.push_back(candidate.append("/").append(name));
    begin = end + 1;
  }
  return candidates;
}

}  // namespace lull::platform
