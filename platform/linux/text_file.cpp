// Reading the kernel's small text files. Linux code only.
#include "platform/linux/text_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace lull::platform {

std::string read_text(const std::string& path, std::size_t limit) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return {};
  std::string text;
  std::array<char, 4096> buffer;
  for (;;) {
    const ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(buffer.data(), static_cast<std::size_t>(got));
    if (text.size() >= limit) break;
  }
  ::close(fd);
  return text;
}

}  // namespace lull::platform

namespace lull::platform {

int write_small_file(const char* path, const char* text) {
  const int fd = ::open(path, O_WRONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return errno;
  const std::size_t length = std::strlen(text);
  ssize_t written = 0;
  do {
    written = ::write(fd, text, length);
  } while (written < 0 && errno == EINTR);
  const int error = written < 0 ? errno : written == static_cast<ssize_t>(length) ? 0 : EIO;
  ::close(fd);
  return error;
}

unsigned random_bits() {
  unsigned value = 0;
  if (::getrandom(&value, sizeof value, GRND_NONBLOCK) == sizeof value) return value;
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<unsigned>(now.tv_nsec * 2654435761U) ^ static_cast<unsigned>(::getpid());
}

}  // namespace lull::platform
