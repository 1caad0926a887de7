#include "platform/linux/words.h"

#include <gtest/gtest.h>

#include <ostream>

namespace lull::platform {
namespace {

struct Split {
  const char* name;
  std::string text;
  std::vector<std::string> words;
};

// Test names say which case failed; gtest need not print the bytes.
void PrintTo(const Split& value, std::ostream* out) { *out << value.name; }

class SplitWords : public ::testing::TestWithParam<Split> {};

TEST_P(SplitWords, AsTheJavaCommandLineIsDivided) {
  EXPECT_EQ(split_words(GetParam().text), GetParam().words);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitWords,
    ::testing::Values(
        Split{"Blanks", "  java \t-classpath  .  Main ", {"java", "-classpath", ".", "Main"}},
        Split{"Empty", "", {}}, Split{"OnlyBlanks", " -classpath . ", {"-classpath", "."}},
        Split{"DoubleQuotesGroup", "\"/opt/my java/java\" -x", {"/opt/my java/java", "-x"}},
        Split{"SingleQuotesKeepBackslash", "'a\\b c'", {"a\\b c"}},
        Split{"BackslashInDoubleQuotes", "\"a\\\"b\"", {"a\"b"}},
        Split{"BackslashEscapesBlank", "a\\ b c", {"a b", "c"}},
        Split{"AdjacentPiecesJoin", "a'b c'\"d\"", {"ab cd"}},
        Split{"EmptyQuotedWord", "a '' b", {"a", "", "b"}},
        Split{"UnclosedQuoteRunsToEnd", "a 'b c", {"a", "b c"}},
        Split{"TrailingBackslashKept", "a\\", {"a\\"}},
        Split{"NothingElseInterpreted", "$HOME * ~ `x` ;", {"$HOME", "*", "~", "`x`", ";"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace lull::platform
