#include "launcher/java_command.h"

#include <gtest/gtest.h>

#include <ostream>

namespace lull {
namespace {

struct Composition {
  const char* name;
  JavaSettings settings;
  std::string expected;
};

// Test names say which case failed; gtest need not print the bytes.
void PrintTo(const Composition& value, std::ostream* out) { *out << value.name; }

class JavaCommand : public ::testing::TestWithParam<Composition> {};

TEST_P(JavaCommand, ComposesByPlainConcatenation) {
  EXPECT_EQ(compose_java_command(GetParam().settings), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, JavaCommand,
    ::testing::Values(
        // Every value empty: what a first run tries to start.
        Composition{"AllEmpty", {"", "", "", ""}, " -classpath . "},
        // An empty class path becomes "."; no trailing blank without arguments.
        Composition{"EmptyClassPath", {"java", "", "Main", ""}, "java -classpath . Main"},
        Composition{"AllSet", {"java", "lib", "Main", "-v"}, "java -classpath lib Main -v"},
        // Values go in unquoted, blanks and all.
        Composition{"BlanksUnquoted",
                    {"/opt/my java/bin/java", "a b", "Main", "x  y"},
                    "/opt/my java/bin/java -classpath a b Main x  y"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace lull
