// A real Java virtual machine as the child: all of its many threads idle,
// and lullspawn's class path "." naming the program's own folder.
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "linux/e2e_fixture.h"
#include "platform/process.h"

namespace lull::testing {
namespace {

using std::chrono::seconds;

const std::string javac = JAVAC_PATH;
const std::string java = JAVA_PATH;

// Starts workers at once, writes its process id to "jvm.pid" in the folder
// given as its first argument (its current folder when none), and, given a
// second argument, waits for as long as that file exists.
constexpr const char* worker_source = R"(
import java.nio.file.*;
public class Worker {
  public static void main(String[] args) throws Exception {
    for (int i = 0; i < 4; i++) {
      Thread t = new Thread(() -> { long x = 0; while (true) { x++; if (x < 0) break; } });
      t.setDaemon(true);
      t.start();
    }
    Path folder = Path.of(args.length > 0 ? args[0] : ".");
    Files.writeString(folder.resolve("jvm.pid.partial"), Long.toString(ProcessHandle.current().pid()));
    Files.move(folder.resolve("jvm.pid.partial"), folder.resolve("jvm.pid"));
    while (args.length > 1 && Files.exists(Path.of(args[1]))) Thread.sleep(10);
  }
}
)";

class RealJava : public WrapperTest {
 protected:
  void SetUp() override {
    if (javac.empty() || javac.ends_with("NOTFOUND") || java.empty() ||
        java.ends_with("NOTFOUND")) {
      GTEST_SKIP() << "no JDK";
    }
    write_file(folder_ / "Worker.java", worker_source);
    const std::string compile =
        javac + " -d " + folder_.path().string() + " " + (folder_ / "Worker.java");
    ASSERT_EQ(std::system(compile.c_str()), 0);
  }
};

// The start service on its own: a JVM makes its threads in its first
// moments, so only a class set before the exec reaches every one of them.
TEST_F(RealJava, EveryThreadOfTheJvmIsIdleFromTheStart) {
  const std::string folder = folder_.path().string();
  write_file(folder_ / "hold", "");
  const platform::ProcessId jvm = platform::ProcessServices().start(
      platform::CommandLine::from_words(
          {java, "-classpath", folder, "Worker", folder, folder_ / "hold"}),
      platform::WindowStyle::normal_focus);
  ASSERT_NE(jvm, 0);
  const std::string pid_file = folder_ / "jvm.pid";
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (!std::filesystem::exists(pid_file) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const std::vector<ThreadClass> threads = thread_classes(jvm);
  std::filesystem::remove(folder_ / "hold");
  EXPECT_TRUE(wait_until_gone(jvm, patience));
  ::waitpid(jvm, nullptr, 0);
  ASSERT_TRUE(std::filesystem::exists(pid_file)) << "the JVM did not start its class in 60 s";
  EXPECT_EQ(read_file(pid_file), std::to_string(jvm));
  EXPECT_GT(threads.size(), 8U);  // the JVM's own threads and the four workers
  for (const ThreadClass& thread : threads) {
    EXPECT_EQ(thread.policy, 5) << "thread " << thread.tid;  // SCHED_IDLE
    EXPECT_EQ(thread.nice, 19) << "thread " << thread.tid;
  }
}

TEST_F(RealJava, LullspawnClassPathDotIsTheProgramsFolder) {
  write_file(folder_ / "job.properties",
             "Java_Executable_Path=" + java + "\nClass_to_run=Worker\nArgs_if_any=.\n");
  const std::string job = link(lullspawn_path, "job");
  std::filesystem::create_directory(folder_ / "elsewhere");
  EXPECT_EQ(run_wrapper_process({.program = job, .folder = folder_ / "elsewhere"}, patience), 0);
  EXPECT_TRUE(std::filesystem::exists(folder_ / "jvm.pid"));
}

}  // namespace
}  // namespace lull::testing
