// Small text files of the kernel's (/proc, control groups), read whole
// without iostreams, which would cost the watching wrapper resident memory,
// and written in one go. Linux only.
#pragma once

#include <string>
#include <string_view>

namespace lull::platform {

// The text of the file at `path`, at most `limit` bytes; "" when unreadable.
std::string read_text(const std::string& path, std::size_t limit = 1 << 20);

// Writes `text` to the kernel file at `path` in one write: 0, or the errno of
// the failure. Allocates nothing, so the child may call it between fork and
// exec.
int write_small_file(const char* path, const char* text);

// Random bits from the kernel, or from the clock and process id where it has
// none to give at once.
unsigned random_bits();

// Calls `line` with each line of `text`, without its line end.
template <typename Visit>
void for_each_line(std::string_view text, Visit line) {
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    line(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

}  // namespace lull::platform
