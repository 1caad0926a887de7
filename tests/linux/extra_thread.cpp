// A library preloaded into the wrapper, as a user's preloaded library or a
// sanitizer's runtime may be: it starts a thread of its own, so the wrapper
// is multi-threaded, and it watches the formatting functions. A copy of a
// multi-threaded process made by fork may not format (another thread may
// have held a lock the formatting needs at the fork): where that happens it
// writes a line saying so to standard error.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <thread>

namespace {

pid_t loaded_in = 0;  // the process the library was loaded into (by exec)
using Vsnprintf = int (*)(char*, std::size_t, const char*, va_list);
using VsnprintfChecked = int (*)(char*, std::size_t, int, std::size_t, const char*, va_list);
Vsnprintf real_vsnprintf = nullptr;
VsnprintfChecked real_vsnprintf_chk = nullptr;

__attribute__((constructor)) void start_thread() {
  loaded_in = ::getpid();
  real_vsnprintf = reinterpret_cast<Vsnprintf>(::dlsym(RTLD_NEXT, "vsnprintf"));
  real_vsnprintf_chk = reinterpret_cast<VsnprintfChecked>(::dlsym(RTLD_NEXT, "__vsnprintf_chk"));
  std::thread([] {
    for (;;) ::pause();
  }).detach();
}

void note_forked_copy() {
  if (::getpid() == loaded_in) return;
  static const char line[] =
      "extra_thread: formatted in a forked copy of a multi-threaded process\n";
  (void)!::write(2, line, sizeof line - 1);
}

}  // namespace

extern "C" {

// NOLINTBEGIN(bugprone-reserved-identifier,clang-analyzer-valist.Uninitialized): the C
// library's own names, interposed
int vsnprintf(char* text, std::size_t size, const char* format, va_list arguments) {
  note_forked_copy();
  return real_vsnprintf(text, size, format, arguments);
}

int snprintf(char* text, std::size_t size, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const int length = vsnprintf(text, size, format, arguments);
  va_end(arguments);
  return length;
}

int __vsnprintf_chk(char* text, std::size_t size, int flag, std::size_t room, const char* format,
                    va_list arguments) {
  note_forked_copy();
  return real_vsnprintf_chk(text, size, flag, room, format, arguments);
}

int __snprintf_chk(char* text, std::size_t size, int flag, std::size_t room, const char* format,
                   ...) {
  va_list arguments;
  va_start(arguments, format);
  const int length = __vsnprintf_chk(text, size, flag, room, format, arguments);
  va_end(arguments);
  return length;
}
// NOLINTEND(bugprone-reserved-identifier,clang-analyzer-valist.Uninitialized)
}
