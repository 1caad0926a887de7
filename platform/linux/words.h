// Dividing a command line given as one string into an argument vector.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace lull::platform {

// Splits `text` into words at blanks (spaces and tabs). Single and double
// quotes group blanks into a word and are removed; outside single quotes a
// backslash takes the next character literally. Nothing else is interpreted:
// no variables, no globbing, no shell. An unclosed quote runs to the end.
std::vector<std::string> split_words(std::string_view text);

}  // namespace lull::platform
