// Many wrapper runs with short-lived children, and one wrapper kept busy for a
// long time: nothing may be left behind, and nothing may grow.
#include <sys/resource.h>

#include <cstdlib>
#include <map>

#include "harness.h"
#include "test_files.h"

namespace lull::robustness {
namespace {

using testing::ScratchFolder;

constexpr int runs_per_soak = repeat(1000, 150);
constexpr int java_status = 3;
constexpr int pass_through_status = 5;

// A job whose Java mode and pass-through mode both start the test child at
// once, each ending with a status of its own; every key is present, so no run
// appends anything.
std::string complete_settings() {
  return "Java_Executable_Path=" + child_program +
         "\n"
         "Class_path_to_use=.\n"
         "Class_to_run=Main\n"
         "Args_if_any=exit=" +
         std::to_string(java_status) +
         "\n"
         "Java_run_minimized_no_focus=TRUE\n"
         "Extern_run_minimized_no_focus=\n";
}

struct Soak {
  int runs = 0;   // wrappers started
  int ended = 0;  // of those, reaped with any status
  int wrong_status = 0;
  int strays = 0;  // processes adopted from ended wrappers: children left behind
  long peak_rss_kib = 0;
  double seconds = 0;
};

// Runs `runs` wrappers, Java mode and pass-through mode in turn, keeping
// `at_a_time` of them running at once.
Soak soak(const Installed& job, int runs, std::size_t at_a_time) {
  Soak result;
  std::map<pid_t, int> expected;
  const auto begin = std::chrono::steady_clock::now();
  while (result.runs < runs || !expected.empty()) {
    while (result.runs < runs && expected.size() < at_a_time) {
      const bool java = result.runs % 2 == 0;
      Launch launch;
      if (!java) launch.arguments = {child_program, "exit=" + std::to_string(pass_through_status)};
      expected[start(job.wrapper(), launch)] = java ? java_status : pass_through_status;
      ++result.runs;
    }
    int status = 0;
    rusage usage{};
    const pid_t pid = ::wait4(-1, &status, 0, &usage);
    if (pid < 0) {
      if (errno == EINTR) continue;
      break;
    }
    const auto found = expected.find(pid);
    if (found == expected.end()) {
      ++result.strays;
      continue;
    }
    ++result.ended;
    if (exit_code(status) != found->second) ++result.wrong_status;
    result.peak_rss_kib = std::max(result.peak_rss_kib, usage.ru_maxrss);
    expected.erase(found);
  }
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  return result;
}

void print(const char* name, const Soak& figures, int leftovers) {
  std::printf(
      "[ figures  ] %s: %d runs (half Java mode, half pass-through) in %.2f s, %.0f runs/s; "
      "wrong status %d; children left behind %d; processes left at the end %d; "
      "largest wrapper peak RSS %ld KiB\n",
      name, figures.runs, figures.seconds, figures.runs / figures.seconds, figures.wrong_status,
      figures.strays, leftovers, figures.peak_rss_kib);
}

class WrapperSoak : public ::testing::Test {
 protected:
  void SetUp() override {
    adopt_orphans();
    write_file(job_.settings(), complete_settings());
  }

  ScratchFolder scratch_;
  Installed job_{scratch_.path() / "tools"};
};

class WrappersAtATime : public WrapperSoak, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(WrappersAtATime, LeaveNothingBehind) {
  const Soak figures = soak(job_, runs_per_soak, GetParam());
  const int leftovers = leftover_children();
  print((std::to_string(GetParam()) + " at a time").c_str(), figures, leftovers);
  EXPECT_EQ(figures.ended, runs_per_soak);
  EXPECT_EQ(figures.wrong_status, 0);
  EXPECT_EQ(figures.strays, 0);
  EXPECT_EQ(leftovers, 0);
  EXPECT_EQ(read_file(job_.settings()), complete_settings());
}

INSTANTIATE_TEST_SUITE_P(BackToBackAndEight, WrappersAtATime, ::testing::Values(1U, 8U));

// Waits until the test child has written its process id to `path`.
pid_t child_pid(const std::string& path) {
  for (int attempt = 0; attempt < 2000; ++attempt) {
    const std::string text = read_file(path);
    if (!text.empty()) return static_cast<pid_t>(std::stol(text));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return 0;
}

// A wrapper watching a long-lived child wakes and probes on every SIGCHLD; a
// stream of them stands in for hours of timer ticks.
TEST_F(WrapperSoak, LongRunningWrapperKeepsDescriptorsAndMemory) {
  // Under AddressSanitizer freed memory waits in a quarantine before it is
  // used again, so one look of the watch that allocates and frees (its 4 s
  // tick may fall in the window on a slow machine) would count as growth:
  // here the wrapper reuses what it frees, as a plain build's allocator does.
  if (sanitized) {
    const char* options = std::getenv("ASAN_OPTIONS");
    const std::string without_quarantine =
        std::string(options != nullptr ? options : "") +
        ":quarantine_size_mb=0:thread_local_quarantine_size_kb=0";
    ::setenv("ASAN_OPTIONS", without_quarantine.c_str(), 1);
  }
  int feed[2];
  ASSERT_EQ(::pipe2(feed, O_CLOEXEC), 0);
  Launch launch;
  launch.arguments = {child_program, "pid=" + job_.path("child.pid"), "stdin", "exit=4"};
  launch.standard_input = feed[0];
  const pid_t wrapper = start(job_.wrapper(), launch);
  ::close(feed[0]);
  ASSERT_NE(child_pid(job_.path("child.pid")), 0);

  auto wake = [wrapper](int times) {
    for (int i = 0; i < times; ++i) {
      ::kill(wrapper, SIGCHLD);
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  };
  // Warm up: whatever the first probes touch is in place, and the wrapper's
  // own looks at its new job in the first second are done.
  wake(500);
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  wake(500);
  const long descriptors_before = open_descriptors(wrapper);
  const long rss_before = proc_status(wrapper, "VmRSS:");
  const long wakeups_before = proc_status(wrapper, "voluntary_ctxt_switches:");
  wake(10000);
  const long descriptors_after = open_descriptors(wrapper);
  const long rss_after = proc_status(wrapper, "VmRSS:");
  const long wakeups = proc_status(wrapper, "voluntary_ctxt_switches:") - wakeups_before;
  std::printf(
      "[ figures  ] long-running wrapper: %ld wake-ups with a probe each; descriptors %ld -> %ld; "
      "RSS %ld -> %ld KiB\n",
      wakeups, descriptors_before, descriptors_after, rss_before, rss_after);

  EXPECT_TRUE(running(wrapper));
  EXPECT_GT(wakeups, 500);
  EXPECT_EQ(descriptors_after, descriptors_before);
  EXPECT_LE(rss_after, rss_before + 8) << "KiB";

  ::close(feed[1]);  // the child ends, and with it the wrapper
  const std::optional<int> status = wait_for(wrapper);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(exit_code(*status), 4) << describe(*status);
  EXPECT_EQ(leftover_children(), 0);
}

}  // namespace
}  // namespace lull::robustness
