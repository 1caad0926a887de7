#include "launcher/java_command.h"

namespace lull {

std::string compose_java_command(const JavaSettings& settings) {
  std::string command = settings.java_executable_path;
  command.append(" -classpath ");
  command.append(settings.class_path_to_use.empty() ? "." : settings.class_path_to_use);
  command.append(" ").append(settings.class_to_run);
  if (!settings.args_if_any.empty()) command.append(" ").append(settings.args_if_any);
  return command;
}

}  // namespace lull
