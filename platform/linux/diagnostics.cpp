// Diagnostic lines on standard error, for Linux, written without ever
// waiting for the reader. Linux code only.
#include "platform/diagnostics.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
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

// The lines that could not be written, said with the next line that is: one
// count for the process, reached from the child's side of a fork as well.
std::atomic<unsigned long> dropped_lines{0};
static_assert(std::atomic<unsigned long>::is_always_lock_free);

bool write_whole(int descriptor, const char* at, std::size_t length) {
  while (length > 0) {
    const ssize_t written = ::write(descriptor, at, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    at += written;
    length -= static_cast<std::size_t>(written);
  }
  return true;
}

// Writes the line whole, or not at all, and never waits: a reader that does
// not read (a pager that filled its screen, a terminal stopped with Ctrl-S,
// a stuck log collector) must not hold up the wrapper, which may have a job
// to thaw. Descriptor 2 itself is shared with the child and the shell, so
// it cannot be made non-blocking: the same pipe or terminal is opened afresh
// for that. Only async-signal-safe calls: the child may write here too.
bool write_without_waiting(const char* line, std::size_t length) {
  struct stat info {};
  if (::fstat(2, &info) != 0) return false;
  if (S_ISREG(info.st_mode)) return write_whole(2, line, length);
  if (S_ISSOCK(info.st_mode))
    return ::send(2, line, length, MSG_DONTWAIT) == static_cast<ssize_t>(length);
  const int own = ::open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (own < 0) {
    // No /proc, or no descriptor to spare: only while there is room. A line
    // is shorter than PIPE_BUF, which a pipe takes whole once it has room.
    pollfd room{2, POLLOUT, 0};
    return ::poll(&room, 1, 0) == 1 && room.revents == POLLOUT && write_whole(2, line, length);
  }
  const ssize_t written = ::write(own, line, length);
  ::close(own);
  return written == static_cast<ssize_t>(length);
}

void append(char* line, std::size_t& length, std::size_t size, const char* text) {
  while (*text != '\0' && length < size - 1) line[length++] = *text++;
}

// The decimal digits of `number`, written by hand: no formatting in the child.
const char* digits_of(unsigned long number, std::array<char, 24>& digits) {
  char* first = &digits.back();
  *first = '\0';
  do {
    *--first = static_cast<char>('0' + number % 10);
    number /= 10;
  } while (number > 0);
  return first;
}

// Appends to `line` how many lines were dropped before it, if any.
void append_dropped_count(char* line, std::size_t& length, std::size_t size) {
  const unsigned long dropped = dropped_lines.load(std::memory_order_relaxed);
  if (dropped == 0) return;
  std::array<char, 24> digits{};
  append(line, length, size, " [standard error was full: ");
  append(line, length, size, digits_of(dropped, digits));
  append(line, length, size, " lines dropped before this one]");
}

// `line` has room for its line end after `length` (`size` in all).
void write_line(char* line, std::size_t length, std::size_t size) {
  append_dropped_count(line, length, size);
  line[length++] = '\n';
  if (write_without_waiting(line, length)) {
    dropped_lines.store(0, std::memory_order_relaxed);
  } else {
    dropped_lines.fetch_add(1, std::memory_order_relaxed);
  }
}

}  // namespace

void diagnose_fixed(bool wanted, const char* text) {
  if (!wanted) return;
  const int saved_errno = errno;
  char line[512];
  std::size_t length = 0;
  // "name[pid]: ", the id written by hand: no formatting here.
  std::array<char, 24> digits{};
  for (const char* part : {static_cast<const char*>(program_invocation_short_name), "[",
                           digits_of(static_cast<unsigned long>(::getpid()), digits), "]: ", text})
    append(line, length, sizeof line, part);
  write_line(line, length, sizeof line);
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
  length = std::min<int>(length + std::max(body, 0), static_cast<int>(sizeof line) - 1);
  write_line(line, static_cast<std::size_t>(length), sizeof line);
  errno = saved_errno;
}

}  // namespace lull::platform
