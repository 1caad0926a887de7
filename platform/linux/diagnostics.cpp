// Diagnostic lines on standard error, for Linux. Linux code only.
#include "platform/diagnostics.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace lull::platform {

bool diagnostics_wanted() {
  const char* wanted = std::getenv("LULLRUN_DEBUG");
  return wanted != nullptr && *wanted != '\0';
}

namespace {

// One line to standard error in one write, so that lines of the wrapper and
// its child do not interleave.
void write_line(const char* line, std::size_t length) {
  for (const char* at = line; length > 0;) {
    const ssize_t written = ::write(2, at, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) break;
    at += written;
    length -= static_cast<std::size_t>(written);
  }
}

}  // namespace

void diagnose_fixed(bool wanted, const char* text) {
  if (!wanted) return;
  const int saved_errno = errno;
  char line[512];
  std::size_t length = 0;
  const auto put = [&](const char* part) {
    while (*part != '\0' && length < sizeof line - 1) line[length++] = *part++;
  };
  // "name[pid]: ", the id written by hand: no formatting here.
  char digits[24];
  char* first = digits + sizeof digits - 1;
  *first = '\0';
  auto id = static_cast<unsigned long>(::getpid());
  do {
    *--first = static_cast<char>('0' + id % 10);
    id /= 10;
  } while (id > 0);
  put(program_invocation_short_name);
  put("[");
  put(first);
  put("]: ");
  put(text);
  line[length++] = '\n';
  write_line(line, length);
  errno = saved_errno;
}

void diagnose(const char* format, ...) {
  if (!diagnostics_wanted()) return;
  const int saved_errno = errno;
  // The child shares this standard error: its name and id tell whose line it is.
  char line[1024];
  int length = std::snprintf(line, sizeof line, "%s[%ld]: ", program_invocation_short_name,
                             static_cast<long>(::getpid()));
  va_list arguments;
  va_start(arguments, format);
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): va_start is just above
  const int body = std::vsnprintf(line + length, sizeof line - static_cast<std::size_t>(length) - 1,
                                  format, arguments);
  va_end(arguments);
  length = std::min<int>(length + std::max(body, 0), static_cast<int>(sizeof line) - 2);
  line[length++] = '\n';
  write_line(line, static_cast<std::size_t>(length));
  errno = saved_errno;
}

}  // namespace lull::platform
