#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>

#include "platform/file.h"
#include "settings/ini_stripper.h"
#include "test_files.h"

namespace lull {
namespace {

using testing::read_file;
using testing::ScratchFolder;
using testing::write_file;

// A settings text (none: no file), the key looked up, the value expected,
// and the file's whole text afterwards.
struct Lookup {
  const char* name;
  std::optional<std::string> before;
  std::string key;
  std::string value;
  std::string after;
};

// Test names say which case failed; gtest need not print the bytes.
void PrintTo(const Lookup& value, std::ostream* out) { *out << value.name; }

const std::string nl = platform::new_file_line_end;
const std::string bom = "\xEF\xBB\xBF";

// `start` followed by as many characters as make a field one longer than an
// entry may be.
std::string over_limit(const std::string& start) {
  return start + std::string(32768 - start.size(), 'x');
}

class SettingsLookup : public ::testing::TestWithParam<Lookup> {};

TEST_P(SettingsLookup, ReturnsValueAndLeavesFile) {
  const Lookup& lookup = GetParam();
  ScratchFolder folder;
  const std::string file = folder / "job.properties";
  if (lookup.before) write_file(file, *lookup.before);
  const std::string value = INIStripper(lookup.key, file);
  const std::string after = read_file(file);
  if (after.size() + lookup.after.size() < 1000) {
    EXPECT_EQ(value, lookup.value);
    EXPECT_EQ(after, lookup.after);
  } else {  // a diff of texts this long would bury the result
    EXPECT_TRUE(value == lookup.value) << value.size() << " characters returned";
    EXPECT_TRUE(after == lookup.after)
        << after.size() << " characters afterwards, expected " << lookup.after.size();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SettingsLookup,
    ::testing::Values(
        Lookup{"NoFileLeavesTemplateLine", std::nullopt, "Class_to_run", "", "Class_to_run=" + nl},
        Lookup{"PlainEntry", "Class_to_run=Main\n", "Class_to_run", "Main", "Class_to_run=Main\n"},
        Lookup{"ValueKeepsFurtherEquals", "Args_if_any=-Dx=1\n", "Args_if_any", "-Dx=1",
               "Args_if_any=-Dx=1\n"},
        Lookup{"CommaEndsTheValue", "Args_if_any=-a, -b\n", "Args_if_any", "-a",
               "Args_if_any=-a, -b\n"},
        Lookup{"LeadingBlanksSkipped", "   \tClass_to_run=Main\n", "Class_to_run", "Main",
               "   \tClass_to_run=Main\n"},
        Lookup{"TrailingBlanksKept", "Class_to_run=Main  \n", "Class_to_run", "Main  ",
               "Class_to_run=Main  \n"},
        Lookup{"CaseMatters", "class_to_run=Main\n", "Class_to_run", "",
               "class_to_run=Main\nClass_to_run=\n"},
        Lookup{"BlankBeforeEqualsIsPartOfKey", "Class_to_run = Main\n", "Class_to_run", "",
               "Class_to_run = Main\nClass_to_run=\n"},
        Lookup{"SectionHeaderSkipped", "[Main]\nClass_to_run=Main\n", "Class_to_run", "Main",
               "[Main]\nClass_to_run=Main\n"},
        Lookup{"RemarkSwallowsNextLine", "Settings for the job\nClass_to_run=Main\n",
               "Class_to_run", "", "Settings for the job\nClass_to_run=Main\nClass_to_run=\n"},
        Lookup{"ShortLineNotJoined", "ab\nClass_to_run=Main\n", "Class_to_run", "Main",
               "ab\nClass_to_run=Main\n"},
        Lookup{"RemarkAtEndReadsPastEnd", "Class_to_run=Main\nthe end\n", "Args_if_any", "",
               "Class_to_run=Main\nthe end\nArgs_if_any=\n"},
        Lookup{"FirstOfTwoWins", "Class_to_run=A\nClass_to_run=B\n", "Class_to_run", "A",
               "Class_to_run=A\nClass_to_run=B\n"},
        Lookup{"EmptyValueAppendsNothing", "Args_if_any=\n", "Args_if_any", "", "Args_if_any=\n"},
        Lookup{"EmptyFile", "", "Args_if_any", "", "Args_if_any=" + nl},
        Lookup{"OnlyHeader", "[Main]\n", "Args_if_any", "", "[Main]\nArgs_if_any=\n"},
        Lookup{"EmptyLinesAndLoneEquals", "\n\n=\nArgs_if_any=x\n", "Args_if_any", "x",
               "\n\n=\nArgs_if_any=x\n"},
        // Line ends: CR, CR LF and LF each end a line; the appended line ends
        // like the file's own lines.
        Lookup{"CrLfFile", "A=1\r\nB=2\r\n", "B", "2", "A=1\r\nB=2\r\n"},
        Lookup{"LoneCrFile", "A=1\rB=2\r", "B", "2", "A=1\rB=2\r"},
        Lookup{"CrLfAppendKeepsStyle", "A=1\r\n", "B", "", "A=1\r\nB=\r\n"},
        Lookup{"CrAppendKeepsStyle", "A=1\r", "B", "", "A=1\rB=\r"},
        // A last line without a line end gets one first, so its value stays.
        Lookup{"UnendedLastLineIsEnded", "A=1", "B", "", "A=1" + nl + "B=" + nl},
        Lookup{"UnendedCrLfFileIsEnded", "A=1\r\nC=3", "B", "", "A=1\r\nC=3\r\nB=\r\n"},
        Lookup{"UnendedLastValueStillFound", "A=1\nB=2", "B", "2", "A=1\nB=2"},
        // Quotes and "#" are ordinary characters.
        Lookup{"QuotesAreLiteral", "Java_Executable_Path=\"/opt/j dk/java\"\n",
               "Java_Executable_Path", "\"/opt/j dk/java\"",
               "Java_Executable_Path=\"/opt/j dk/java\"\n"},
        Lookup{"HashLineIsARemark", "# the job\nA=1\nB=2\n", "B", "2", "# the job\nA=1\nB=2\n"},
        // A byte-order mark, as Windows editors save "UTF-8 with BOM", is
        // skipped at the very start of the file only.
        Lookup{"ByteOrderMarkBeforeFirstKey", bom + "A=1\r\nB=2\r\n", "A", "1",
               bom + "A=1\r\nB=2\r\n"},
        Lookup{"ByteOrderMarkAloneIsAnOpenLine", bom, "A", "", bom + nl + "A=" + nl},
        Lookup{"ByteOrderMarkLaterIsText", "A=1\n" + bom + "B=2\n", "B", "",
               "A=1\n" + bom + "B=2\nB=\n"},
        // Past the length limit: a line that is no entry and joins nothing is
        // skipped; one holding "=", or a remark that would join, fails.
        Lookup{"OverlongHeaderSkipped", over_limit("[") + "\nA=1\n", "A", "1",
               over_limit("[") + "\nA=1\n"},
        Lookup{"OverlongLineWithLateBracketSkipped", over_limit("x") + "[\r\nA=1\r\n", "A", "1",
               over_limit("x") + "[\r\nA=1\r\n"},
        Lookup{"OverlongHeaderAtTheEnd", "A=1\n" + over_limit("["), "B", "",
               "A=1\n" + over_limit("[") + "\nB=\n"},
        Lookup{"OverlongEntryFails", over_limit("[A=") + "\nA=1\n", "A", "",
               over_limit("[A=") + "\nA=1\nA=\n"},
        Lookup{"OverlongEntryWithLateEqualsFails", over_limit("[") + "=\nA=1\n", "A", "",
               over_limit("[") + "=\nA=1\nA=\n"},
        Lookup{"OverlongRemarkJoinsAndFails", over_limit("x") + "\nA=1\n", "A", "",
               over_limit("x") + "\nA=1\nA=\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SettingsLookupLimits, EntryOfUpTo32767CharactersIsRead) {
  ScratchFolder folder;
  const std::string file = folder / "job.properties";
  for (const std::size_t length : {32767U, 32768U}) {
    SCOPED_TRACE(length);
    const std::string value(length - 2, 'v');
    write_file(file, "A=" + value + "\n");
    EXPECT_EQ(INIStripper("A", file), length <= 32767 ? value : "");
  }
}

TEST(SettingsLookupLimits, EndlessLineEndsInTheMissPath) {
  ScratchFolder folder;
  const std::string file = folder / "job.properties";
  const std::string before = "A=" + std::string(5'000'000, 'v');
  write_file(file, before);
  EXPECT_EQ(INIStripper("A", file), "");
  EXPECT_EQ(read_file(file), before + nl + "A=" + nl);
}

TEST(SettingsLookupLimits, EndlessHeaderIsSkipped) {
  ScratchFolder folder;
  const std::string file = folder / "job.properties";
  const std::string before = "[" + std::string(5'000'000, 'h') + "]\nA=1\n";
  write_file(file, before);
  EXPECT_EQ(INIStripper("A", file), "1");
  EXPECT_TRUE(read_file(file) == before);
}

TEST(SettingsLookupFiles, FolderInPlaceOfFileCountsAsUnreadable) {
  ScratchFolder folder;
  const std::string file = folder / "job.properties";
  std::filesystem::create_directory(file);
  EXPECT_EQ(INIStripper("A", file), "");
  EXPECT_TRUE(std::filesystem::is_directory(file));
}

TEST(SettingsLookupFiles, FirstRunListsKeysInTheOrderAsked) {
  ScratchFolder folder;
  const std::string file = folder / "job.properties";
  for (const char* key : {"One", "Two", "Three"}) EXPECT_EQ(INIStripper(key, file), "");
  EXPECT_EQ(read_file(file), "One=" + nl + "Two=" + nl + "Three=" + nl);
  // Once appended, a key is found with its empty value and nothing more is added.
  EXPECT_EQ(INIStripper("Two", file), "");
  EXPECT_EQ(read_file(file), "One=" + nl + "Two=" + nl + "Three=" + nl);
}

}  // namespace
}  // namespace lull
