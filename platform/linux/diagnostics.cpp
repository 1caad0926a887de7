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
  // One write, so that lines of the wrapper and its child do not interleave.
  for (const char* at = line; length > 0;) {
    const ssize_t written = ::write(2, at, static_cast<std::size_t>(length));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) break;
    at += written;
    length -= static_cast<int>(written);
  }
  errno = saved_errno;
}

}  // namespace lull::platform
