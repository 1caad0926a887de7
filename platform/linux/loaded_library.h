// A function of a library loaded at run time (dlopen), bound by its name.
// Linux code only.
#pragma once

#include <dlfcn.h>

namespace lull::platform {

// Binds `function` to the symbol `name` of `library`; false where it lacks it.
template <typename Function>
bool bind_symbol(void* library, const char* name, Function& function) {
  function = reinterpret_cast<Function>(::dlsym(library, name));
  return function != nullptr;
}

}  // namespace lull::platform
