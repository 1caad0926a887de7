// Where a bare program name is looked for. Linux code only.
#pragma once

#include <string>
#include <vector>

namespace lull::platform {

// The places `name` may be, in the order the C library's execvp tries them:
// each folder of PATH with the name joined on, an empty entry meaning the
// current folder ("./name"), and an unset PATH meaning the system's default
// path. A name with a slash in it is only itself. Each caller tests the
// candidates its own way.
std::vector<std::string> path_candidates(const std::string& name);

}  // namespace lull::platform
