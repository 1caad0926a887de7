// A library preloaded into the wrapper to stand for a kernel before Linux
// 5.19, which has no memory.reclaim: the wrapper is told that no such file
// exists, and keeps the job's page cache in bounds the other way, by
// lowering the leaf's memory.high for a moment. The benchmark uses it too.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

extern "C" int access(const char* name, int type) {
  using Access = int (*)(const char*, int);
  static const auto real = reinterpret_cast<Access>(::dlsym(RTLD_NEXT, "access"));
  if (std::string_view(name).ends_with("/memory.reclaim")) {
    errno = ENOENT;
    return -1;
  }
  return real(name, type);
}
