// Program entry for Windows (WinMain). Windows code only.
// Who the program is comes from its module's path; its argument text is the
// raw command line after its name.
#include <windows.h>

#include <string>

#include "platform/host.h"

namespace {

using lull::platform::ProgramIdentity;

// The full path of the running program; long paths are followed up to the
// system's limit.
std::string module_path() {
  std::string path(MAX_PATH, '\0');
  for (;;) {
    const DWORD length =
        ::GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    if (path.size() >= 32768) return {};
    path.resize(path.size() * 2);
  }
}

// The command line after the program's name and the blanks that follow it,
// exactly as given. The name ends at the first blank outside double quotes,
// as the system's own parsing reads it, quoted or not.
std::string argument_text(const char* command_line) {
  const char* next = command_line != nullptr ? command_line : "";
  bool quoted = false;
  for (; *next != '\0'; ++next) {
    if (*next == '"') {
      quoted = !quoted;
    } else if (!quoted && (*next == ' ' || *next == '\t')) {
      break;
    }
  }
  while (*next == ' ' || *next == '\t') ++next;
  return next;
}

ProgramIdentity identify() {
  ProgramIdentity identity = lull::platform::identity_of(module_path());
  identity.arguments = lull::platform::CommandLine::from_text(argument_text(::GetCommandLineA()));
  return identity;
}

}  // namespace

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, LPSTR /*arguments*/,
                   int /*show*/) {
  return lull::platform::program_main(identify());
}
