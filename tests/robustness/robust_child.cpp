// A child for the robustness tests, started by the wrapper under test. It does
// what its arguments say, in this order, and ignores every other argument
// (such as the "-classpath . Main" of a Java command line):
//   pid=PATH    writes its process id to PATH
//   touch=PATH  creates the file PATH
//   stdin       waits until its standard input reaches its end
//   sleep=MS    sleeps MS milliseconds
//   exit=N      ends with status N (0 by default)
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>

namespace {

void write_file(const std::string& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  if (::write(fd, text.data(), text.size()) < 0) {
  }
  ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  int status = 0;
  long sleep_ms = 0;
  bool wait_for_stdin = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view word(argv[i]);
    if (word.starts_with("pid="))
      write_file(std::string(word.substr(4)), std::to_string(::getpid()));
    if (word.starts_with("touch=")) write_file(std::string(word.substr(6)), "");
    if (word == "stdin") wait_for_stdin = true;
    if (word.starts_with("sleep=")) sleep_ms = std::atol(argv[i] + 6);
    if (word.starts_with("exit=")) status = std::atoi(argv[i] + 5);
  }
  if (wait_for_stdin) {
    char buffer[256];
    for (;;) {
      const ssize_t got = ::read(0, buffer, sizeof buffer);
      if (got == 0 || (got < 0 && errno != EINTR)) break;
    }
  }
  if (sleep_ms > 0) {
    timespec pause{sleep_ms / 1000, (sleep_ms % 1000) * 1000 * 1000};
    while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
  }
  return status;
}
