// Program entry for Windows (WinMain). Windows code only.
// Who the program is comes from its module's path; its argument text is the
// raw command line after its name. Both are asked for in UTF-16, which spells
// every name and argument, and kept as UTF-8; the ANSI forms would spell a
// character that the ANSI code page lacks as "?".
#include <windows.h>

#include <string>

#include "platform/host.h"
#include "platform/windows/text.h"

namespace {

using lull::platform::ProgramIdentity;

// The full path of the running program; long paths are followed up to the
// system's limit.
std::string module_path() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      return lull::platform::utf8(path);
    }
    if (path.size() >= 32768) return {};
    path.resize(path.size() * 2);
  }
}

// The command line after the program's name and the blanks that follow it,
// exactly as given. The name ends at the first blank outside double quotes,
// as the system's own parsing reads it, quoted or not. Blanks and quotes are
// ASCII, which is never part of another character in UTF-8.
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
  identity.arguments = lull::platform::CommandLine::from_text(
      argument_text(lull::platform::utf8(::GetCommandLineW()).c_str()));
  return identity;
}

}  // namespace

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, LPSTR /*arguments*/,
                   int /*show*/) {
  return lull::platform::program_main(identify());
}
