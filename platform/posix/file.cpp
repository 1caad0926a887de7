// File access for the settings file on Linux and other POSIX systems. POSIX
// code only.
#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace lull::platform {

const char* const new_file_line_end = "\n";

namespace {

// Opens `path` only when it names a regular file. O_NONBLOCK keeps the open
// of a FIFO from waiting for a writer; it means nothing for a regular file.
int open_regular(const std::string& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
  if (fd < 0) return -1;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

ReadableFile::ReadableFile(const std::string& path) : descriptor_(open_regular(path, O_RDONLY)) {}

ReadableFile::~ReadableFile() {
  if (descriptor_ >= 0) ::close(static_cast<int>(descriptor_));
}

long ReadableFile::read(char* buffer, std::size_t size) {
  if (descriptor_ < 0) return -1;
  ssize_t got = 0;
  do {
    got = ::read(static_cast<int>(descriptor_), buffer, size);
  } while (got < 0 && errno == EINTR);
  return static_cast<long>(got);
}

bool append_to_file(const std::string& path, const std::string& text) {
  const int fd = open_regular(path, O_WRONLY | O_APPEND | O_CREAT);
  if (fd < 0) return false;
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t count = ::write(fd, text.data() + written, text.size() - written);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    written += static_cast<std::size_t>(count);
  }
  return ::close(fd) == 0 && written == text.size();
}

}  // namespace lull::platform
