// Program entry for Windows (WinMain). Windows code only.
// Who the program is comes from its module's path; its argument text is the
// raw command line after its name. Both are asked for in UTF-16, which spells
// every name and argument, and kept as UTF-8; the ANSI forms would spell a
// character that the ANSI code page lacks as "?".
#include <windows.h>

#include <string>
#include <string_view>

#include "platform/host.h"
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

// The full path that `name` stands for, taken against the current folder.
std::wstring full_path(const std::wstring& name) {
  const DWORD size = ::GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
  std::wstring path(size, L'\0');
  const DWORD length = ::GetFullPathNameW(name.c_str(), size, path.data(), nullptr);
  path.resize(length < size ? length : 0);
  return path;
}

// Letter case counts as the file system counts it.
bool same_name(std::wstring_view one, std::wstring_view other) {
  return ::CompareStringOrdinal(one.data(), static_cast<int>(one.size()), other.data(),
                                static_cast<int>(other.size()), TRUE) == CSTR_EQUAL;
}

// Whether `name` names the program's own file `module`: as a path, or, with
// no folder in it, as the file's name (the system searched for it); ".exe"
// may be left off.
bool names_program(const std::wstring& name, std::wstring_view module) {
  const bool bare = name.find_first_of(L"\\/:") == std::wstring::npos;
  const std::wstring written = bare ? name : full_path(name);
  const std::wstring_view own = bare ? module.substr(module.find_last_of(L'\\') + 1) : module;
  return !written.empty() && (same_name(written, own) || same_name(written + L".exe", own));
}

bool is_blank(wchar_t c) { return c == L' ' || c == L'\t'; }

// Where the program's name ends in its command line. Windows hands the line
// on as the caller wrote it, and callers leave paths with blanks unquoted (a
// Run key, WinExec, a scheduled task or service): the system then tried each
// start of the line that ends at a blank until one named a program. So in a
// line that does not start with a quote, the first such start that names
// this program's own file is the name. Otherwise the name ends at the first
// blank outside double quotes, as the system's own parsing reads it.
std::size_t name_end(std::wstring_view line, std::wstring_view module) {
  if (!line.starts_with(L'"')) {
    for (std::size_t end = 1; end <= line.size(); ++end) {
      if ((end == line.size() || is_blank(line[end])) &&
          names_program(std::wstring(line.substr(0, end)), module))
        return end;
    }
  }
  bool quoted = false;
  std::size_t end = 0;
  for (; end < line.size() && (quoted || !is_blank(line[end])); ++end) {
    if (line[end] == L'"') quoted = !quoted;
  }
  return end;
}

// The command line after the program's name and the blanks that follow it,
// exactly as given.
std::string argument_text(const wchar_t* command_line, std::wstring_view module) {
  const std::wstring_view line = command_line != nullptr ? command_line : L"";
  std::size_t next = name_end(line, module);
  while (next < line.size() && is_blank(line[next])) ++next;
  return lull::platform::utf8(line.substr(next));
}

ProgramIdentity identify() {
  const std::wstring module = module_path();
  ProgramIdentity identity = lull::platform::identity_of(lull::platform::utf8(module));
  identity.arguments =
      lull::platform::CommandLine::from_text(argument_text(::GetCommandLineW(), module));
  return identity;
}

}  // namespace

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, LPSTR /*arguments*/,
                   int /*show*/) {
  return lull::platform::program_main(identify());
}
