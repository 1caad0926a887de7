// Diagnostic lines through OutputDebugString, for Windows. Windows code only.
// Debuggers, DebugView and, under Wine, the debugstr channel show them.
#include "platform/diagnostics.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cwchar>

namespace lull::platform {

bool diagnostics_wanted() {
  wchar_t wanted[2];
  // The value's length, or the room a longer one needs; 0 when unset or empty.
  return ::GetEnvironmentVariableW(L"LULLRUN_DEBUG", wanted, 2) > 0;
}

namespace {

// The program's file name without its extension: a copy named nightly.exe
// says "nightly", as the settings file it reads is named.
void program_name(wchar_t* name, DWORD size) {
  wchar_t path[MAX_PATH];
  const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  const wchar_t* file = path;
  for (DWORD i = 0; i < length && i < MAX_PATH; ++i) {
    if (path[i] == L'\\') file = path + i + 1;
  }
  std::swprintf(name, size, L"%.*ls", static_cast<int>(path + length - file), file);
  if (wchar_t* dot = std::wcsrchr(name, L'.'); dot != nullptr && dot != name) *dot = L'\0';
}

}  // namespace

void diagnose(const char* format, ...) {
  if (!diagnostics_wanted()) return;
  const DWORD saved_error = ::GetLastError();
  // The text is UTF-8, as all text inside the programs; readers of
  // OutputDebugStringA (debuggers, DebugView) take the ANSI code page. The
  // wide form would serve them better, but Wine's debugstr channel shows only
  // the ANSI one.
  char body[2048];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(body, sizeof body, format, arguments);
  va_end(arguments);
  wchar_t wide_body[2048];
  if (::MultiByteToWideChar(CP_UTF8, 0, body, -1, wide_body, 2048) == 0) wide_body[0] = L'\0';
  wchar_t name[MAX_PATH];
  program_name(name, MAX_PATH);
  wchar_t line[2400];
  std::swprintf(line, 2400, L"%ls[%lu]: %ls\n", name, ::GetCurrentProcessId(), wide_body);
  char ansi[4 * 2400];
  if (::WideCharToMultiByte(CP_ACP, 0, line, -1, ansi, sizeof ansi, nullptr, nullptr) > 0)
    ::OutputDebugStringA(ansi);
  ::SetLastError(saved_error);
}

void diagnose_fixed(bool wanted, const char* text) {
  if (wanted) diagnose("%s", text);
}

}  // namespace lull::platform
