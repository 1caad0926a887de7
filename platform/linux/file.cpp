// File access for the settings file on Linux. Linux code only.
#include "platform/file.h"

#include <fcntl.h>
#include <signal.h>
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

namespace {

// Takes back the first `count` bytes of a write that began at `start` and
// fell short, unless another writer has appended after them since.
void take_back(int fd, off_t start, ssize_t count) {
  struct stat info {};
  if (start >= 0 && ::fstat(fd, &info) == 0 && info.st_size == start + count) {
    while (::ftruncate(fd, start) != 0 && errno == EINTR) {
    }
  }
}

}  // namespace

bool append_to_file(const std::string& path, const std::string& text) {
  const int fd = open_regular(path, O_WRONLY | O_APPEND | O_CREAT);
  if (fd < 0) return false;
  // Beyond a file-size limit the write fails with EFBIG instead of SIGXFSZ
  // ending the wrapper before its child is started.
  struct sigaction ignore {};
  struct sigaction previous {};
  ignore.sa_handler = SIG_IGN;
  const bool ignoring = ::sigaction(SIGXFSZ, &ignore, &previous) == 0;
  ssize_t count = 0;
  do {
    count = ::write(fd, text.data(), text.size());
  } while (count < 0 && errno == EINTR);
  // A full disk or a file-size limit can let part of the line in: it is
  // taken back, so the file never ends in a torn line. A second write for the
  // rest could not join it anyway once another wrapper has appended.
  const bool whole = count == static_cast<ssize_t>(text.size());
  if (count > 0 && !whole) take_back(fd, ::lseek(fd, 0, SEEK_CUR) - count, count);
  if (ignoring) ::sigaction(SIGXFSZ, &previous, nullptr);
  // Linux releases the descriptor even when close reports EINTR, and the text
  // is written by then: an interrupted close is no failure, or the caller's
  // second attempt would append the line twice.
  return (::close(fd) == 0 || errno == EINTR) && whole;
}

}  // namespace lull::platform
