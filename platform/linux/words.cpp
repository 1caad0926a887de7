// Word splitting for command lines composed as one string; Linux code only.
#include "platform/linux/words.h"

namespace lull::platform {

std::vector<std::string> split_words(std::string_view text) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  char quote = 0;  // the open quote character, or 0
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quote == 0 && (c == ' ' || c == '\t')) {
      if (in_word) words.push_back(std::move(word));
      word.clear();
      in_word = false;
      continue;
    }
    in_word = true;
    if (c == '\\' && quote != '\'' && i + 1 < text.size()) {
      word.push_back(text[++i]);
    } else if (quote != 0 && c == quote) {
      quote = 0;
    } else if (quote == 0 && (c == '\'' || c == '"')) {
      quote = c;
    } else {
      word.push_back(c);
    }
  }
  if (in_word) words.push_back(std::move(word));
  return words;
}

}  // namespace lull::platform
