// Java mode's command line, composed from the four settings values.
#pragma once

#include <string>

namespace lull {

struct JavaSettings {
  std::string java_executable_path;
  std::string class_path_to_use;
  std::string class_to_run;
  std::string args_if_any;
};

// Plain concatenation, no quoting added: the Java program, " -classpath ",
// the class path ("." when empty), " ", the class, and " " with the further
// arguments only when there are any.
std::string compose_java_command(const JavaSettings& settings);

}  // namespace lull
