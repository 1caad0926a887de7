// Where a Windows program's own name ends in its command line. Windows code
// only.
#include "platform/windows/command_line.h"

#include <windows.h>

#include <algorithm>

#include "platform/windows/text.h"

namespace lull::platform {
namespace {

constexpr std::wstring_view separators = L"\\/:";
constexpr std::wstring_view exe = L".exe";

// How much longer than the program's own path a path that names it may be:
// room for "." and ".." parts, doubled separators and trailing dots, which
// the system drops. No start of the line longer than that is resolved, so a
// long line costs no more than this many resolutions of this length.
constexpr std::size_t dropped_at_most = MAX_PATH;

// Letter case counts as the file system counts it.
bool same_name(std::wstring_view one, std::wstring_view other) {
  return ::CompareStringOrdinal(one.data(), static_cast<int>(one.size()), other.data(),
                                static_cast<int>(other.size()), TRUE) == CSTR_EQUAL;
}

// The file's name, or the same with ".exe" left off.
bool is_file_name(std::wstring_view name, std::wstring_view file) {
  if (same_name(name, file)) return true;
  return file.size() > exe.size() && same_name(file.substr(file.size() - exe.size()), exe) &&
         same_name(name, file.substr(0, file.size() - exe.size()));
}

// Whether `start` may name the program's file `file` at all: its last part,
// trailing dots dropped as the system drops them, is the file's name. A last
// part of dots alone ("." or "..") leaves it to the full resolution. This
// costs no more than the name's length, where a resolution costs the whole
// start's.
bool may_name(std::wstring_view start, std::size_t last_part, std::wstring_view file) {
  std::wstring_view part = start.substr(last_part);
  const std::size_t kept = part.find_last_not_of(L'.');
  if (kept == std::wstring_view::npos) return true;
  return is_file_name(part.substr(0, kept + 1), file);
}

// Whether `name` names the program's own file `module`: as a path, or, with
// no folder in it, as the file's name (the system searched for it); ".exe"
// may be left off.
bool names_program(const std::wstring& name, std::wstring_view module,
                   const FullPathOf& full_path) {
  const bool bare = name.find_first_of(separators) == std::wstring::npos;
  const std::wstring written = bare ? name : full_path(name);
  const std::wstring_view own = bare ? module.substr(module.find_last_of(L'\\') + 1) : module;
  return !written.empty() && (same_name(written, own) || same_name(written + exe.data(), own));
}

bool is_blank(wchar_t c) { return c == L' ' || c == L'\t'; }

}  // namespace

std::wstring full_path_of(const std::wstring& name) {
  const DWORD size = ::GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
  std::wstring path(size, L'\0');
  const DWORD length = ::GetFullPathNameW(name.c_str(), size, path.data(), nullptr);
  path.resize(length < size ? length : 0);
  return path;
}

std::size_t program_name_end(std::wstring_view line, std::wstring_view module,
                             const FullPathOf& full_path) {
  if (!line.starts_with(L'"')) {
    const std::wstring_view file = module.substr(module.find_last_of(L'\\') + 1);
    const std::size_t longest = std::min(line.size(), module.size() + dropped_at_most);
    std::size_t last_part = 0;  // where the start's last part begins
    for (std::size_t end = 1; end <= longest; ++end) {
      if (separators.find(line[end - 1]) != std::wstring_view::npos) last_part = end;
      if ((end == line.size() || is_blank(line[end])) &&
          may_name(line.substr(0, end), last_part, file) &&
          names_program(std::wstring(line.substr(0, end)), module, full_path))
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

std::string argument_text(std::wstring_view line, std::wstring_view module,
                          const FullPathOf& full_path) {
  std::size_t next = program_name_end(line, module, full_path);
  while (next < line.size() && is_blank(line[next])) ++next;
  return utf8(line.substr(next));
}

}  // namespace lull::platform
