// Program entry for Windows (WinMain). Windows code only.
// Who the program is comes from its module's path; its argument text is the
// raw command line after its name. Both are asked for in UTF-16, which spells
// every name and argument, and kept as UTF-8; the ANSI forms would spell a
// character that the ANSI code page lacks as "?".
#include <windows.h>

#include <string>

#include "platform/host.h"
#include "platform/windows/command_line.h"
#include "platform/windows/text.h"

namespace {

using lull::platform::ProgramIdentity;

// The full path of the running program; long paths are followed up to the
// system's limit.
std::wstring module_path() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    if (path.size() >= 32768) return {};
    path.resize(path.size() * 2);
  }
}

ProgramIdentity identify() {
  const std::wstring module = module_path();
  const wchar_t* command_line = ::GetCommandLineW();
  ProgramIdentity identity = lull::platform::identity_of(lull::platform::utf8(module));
  identity.arguments = lull::platform::CommandLine::from_text(
      lull::platform::argument_text(command_line != nullptr ? command_line : L"", module));
  return identity;
}

}  // namespace

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, LPSTR /*arguments*/,
                   int /*show*/) {
  return lull::platform::program_main(identify());
}
