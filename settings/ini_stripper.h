// The settings lookup: what value the settings file gives for a key. A key
// that is not found is appended with an empty value, so a first run leaves a
// template listing every key the wrapper asked for.
#pragma once

#include <string>

namespace lull {

// The value the settings file `file` gives for `key`: the text after the first
// "=" of the first entry whose key matches exactly. The empty string when the
// value is empty, the key is not found, or the file cannot be read; in the two
// latter cases the line `key=` is appended to the file (created if needed).
// The file is scanned afresh from the top on every call; nothing is kept.
std::string INIStripper(const std::string& key, const std::string& file);

}  // namespace lull
