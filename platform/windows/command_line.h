// Where a Windows program's own name ends in its command line. Windows code
// only.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace lull::platform {

// The full path that `name` stands for, as the system resolves it against
// the current folder; empty when it cannot.
std::wstring full_path_of(const std::wstring& name);

using FullPathOf = std::function<std::wstring(const std::wstring&)>;

// Where the program's name ends in its command line `line`, the program's
// own file being `module`. Windows hands the line on as its caller wrote it,
// and callers leave paths with blanks unquoted (a Run key, WinExec, a
// scheduled task or service): the system then tried each start of the line
// that ends at a blank until one named a program. So in a line that does not
// start with a quote, the first such start that names this program's own
// file is the name; otherwise the name ends at the first blank outside
// double quotes, as the system's own parsing reads it. `full_path` resolves
// the starts that may name the program.
std::size_t program_name_end(std::wstring_view line, std::wstring_view module,
                             const FullPathOf& full_path = full_path_of);

// The command line `line` after the program's name and the blanks that
// follow it, exactly as given, in UTF-8.
std::string argument_text(std::wstring_view line, std::wstring_view module,
                          const FullPathOf& full_path = full_path_of);

}  // namespace lull::platform
