// Fuzzing the settings lookup with any settings file and any key.
//
// An input is a key, a line feed, and the text of the settings file; an input
// without a line feed is a key alone, looked up with no settings file at all.
// Every input is written to a scratch file and looked up once. Besides what the
// sanitizers catch (crashes, leaks, undefined behaviour) and what libFuzzer
// bounds (time and memory per input), each run checks that
//   - the value is a piece of the file's text, never a made-up one: no line
//     end or comma in it, and nothing appended when it is not empty;
//   - the file afterwards is the file before, byte for byte, followed by
//     nothing or by the line `key=`, with one line end in front of it when
//     the last line had none.
// A broken rule aborts, so libFuzzer keeps the input as a finding.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "settings/ini_stripper.h"
#include "tests/file_text.h"

namespace {

void require(bool rule, const char* what) {
  if (rule) return;
  std::fprintf(stderr, "lookup rule broken: %s\n", what);
  std::abort();
}

std::string scratch_folder;

void remove_scratch() {
  ::unlink((scratch_folder + "/job.properties").c_str());
  ::rmdir(scratch_folder.c_str());
}

// A folder of this process's own, in memory where the system offers it. The
// fuzz script names one in LULL_FUZZ_SCRATCH and removes it afterwards.
const std::string& scratch_file() {
  static const std::string file = [] {
    if (const char* given = std::getenv("LULL_FUZZ_SCRATCH"); given != nullptr && *given != 0) {
      scratch_folder = given;
    } else {
      const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
      scratch_folder = std::string(base) + "/lull-fuzz-" + std::to_string(::getpid());
      std::atexit(remove_scratch);
    }
    ::mkdir(scratch_folder.c_str(), 0700);
    return scratch_folder + "/job.properties";
  }();
  return file;
}

bool exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

bool is_line_end(std::string_view text) { return text == "\n" || text == "\r\n" || text == "\r"; }

// Whether `added` is the line `key=` with its line end, preceded by a line end
// exactly when `before` has text and its last line is not ended.
bool is_appended_key_line(std::string_view before, std::string_view added, std::string_view key) {
  const bool last_line_open = !before.empty() && before.back() != '\n' && before.back() != '\r';
  for (std::string_view lead : {"", "\n", "\r\n", "\r"}) {
    if (lead.empty() == last_line_open || !added.starts_with(lead)) continue;
    std::string_view rest = added.substr(lead.size());
    if (!rest.starts_with(key) || rest.substr(key.size(), 1) != "=") continue;
    rest.remove_prefix(key.size() + 1);
    if (is_line_end(rest) && (lead.empty() || lead == rest)) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t line_feed = input.find('\n');
  const std::string key(input.substr(0, line_feed));
  const bool file_exists = line_feed != std::string_view::npos;
  const std::string before(file_exists ? input.substr(line_feed + 1) : std::string_view());

  const std::string& file = scratch_file();
  ::unlink(file.c_str());
  if (file_exists) {
    lull::testing::write_file(file, before);
    require(lull::testing::read_file(file) == before, "scratch file not written");
  }

  const std::string value = lull::INIStripper(key, file);

  require(value.size() <= 32767, "value longer than an entry may be");
  require(value.find_first_of("\r\n,") == std::string::npos, "value holds a line end or comma");
  require(value.empty() || before.find(value) != std::string::npos,
          "value is not a piece of the file");
  require(exists(file), "settings file missing after the lookup");
  const std::string after = lull::testing::read_file(file);
  require(after.starts_with(before), "text of the file changed");
  const std::string_view added = std::string_view(after).substr(before.size());
  require(added.empty() || is_appended_key_line(before, added, key),
          "something other than the key line appended");
  require(value.empty() || added.empty(), "a found key was appended");
  require(file_exists || !added.empty(), "no template line for a missing file");
  return 0;
}
