// Many wrappers started at the same moment on a missing settings file: each
// appends the keys it misses; no line may be torn or run into another.
#include <map>
#include <set>

#include "harness.h"
#include "test_files.h"

namespace lull::robustness {
namespace {

using testing::ScratchFolder;

constexpr int wrappers_at_once = 50;
constexpr int rounds = 5;

const std::set<std::string> java_key_lines = {
    "Java_Executable_Path=", "Class_path_to_use=", "Class_to_run=", "Args_if_any=",
    "Java_run_minimized_no_focus="};

TEST(WrappersAtOnce, EveryLineOfTheTemplateIsWhole) {
  adopt_orphans();
  ScratchFolder scratch;
  for (int round = 0; round < rounds; ++round) {
    Installed job(scratch.path() / ("round" + std::to_string(round)));
    // Every wrapper waits at the gate, forked and ready to exec; closing the
    // gate's write end lets them all go at once.
    int gate[2];
    ASSERT_EQ(::pipe2(gate, O_CLOEXEC), 0);
    Launch launch;
    launch.gate = gate[0];
    launch.gate_write_end = gate[1];
    std::vector<pid_t> wrappers;
    for (int i = 0; i < wrappers_at_once; ++i) wrappers.push_back(start(job.wrapper(), launch));
    ::close(gate[0]);
    ::close(gate[1]);

    int ended = 0;
    for (const pid_t wrapper : wrappers) {
      const std::optional<int> status = wait_for(wrapper);
      ASSERT_TRUE(status.has_value()) << "a wrapper did not end";
      // The template's command line cannot be started: each ends at once.
      EXPECT_TRUE(WIFEXITED(*status)) << describe(*status);
      ++ended;
    }

    const std::string text = read_file(job.settings());
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n') << "the last line is torn";
    std::map<std::string, int> count;
    std::istringstream lines(text);
    int total = 0;
    for (std::string line; std::getline(lines, line); ++total) {
      EXPECT_TRUE(java_key_lines.contains(line)) << "torn or mixed line: [" << line << "]";
      ++count[line];
    }
    for (const std::string& key_line : java_key_lines) {
      EXPECT_GE(count[key_line], 1) << key_line << " missing";
      EXPECT_LE(count[key_line], wrappers_at_once) << key_line;
    }
    std::printf("[ figures  ] round %d: %d wrappers at once, %d ended, %d whole lines written\n",
                round + 1, wrappers_at_once, ended, total);
  }
  EXPECT_EQ(leftover_children(), 0);
}

}  // namespace
}  // namespace lull::robustness
