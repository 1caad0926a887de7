// Who the program is, from the path of its file; the same on every system.
#include "platform/host.h"

namespace lull::platform {

ProgramIdentity identity_of(const std::string& path) {
  const std::size_t separator = path.rfind(folder_separator);
  ProgramIdentity identity;
  identity.folder = separator == std::string::npos ? "." : path.substr(0, separator);
  const std::string file = separator == std::string::npos ? path : path.substr(separator + 1);
  const std::size_t dot = file.rfind('.');
  identity.base_name = dot == std::string::npos || dot == 0 ? file : file.substr(0, dot);
  return identity;
}

}  // namespace lull::platform
