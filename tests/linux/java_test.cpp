// A real Java virtual machine as the child: all of its many threads idle,
// and lullspawn's class path "." naming the program's own folder.
#include <filesystem>
#include <fstream>
#include <thread>

#include "linux/e2e_fixture.h"

namespace lull::testing {
namespace {

using std::chrono::seconds;

const std::string javac = JAVAC_PATH;
const std::string java = JAVA_PATH;

// Starts workers at once, writes its process id to "jvm.pid" in its current
// folder, and ends after the time given as its first argument (ms).
constexpr const char* worker_source = R"(
public class Worker {
  public static void main(String[] args) throws Exception {
    for (int i = 0; i < 4; i++) {
      Thread t = new Thread(() -> { long x = 0; while (true) { x++; if (x < 0) break; } });
      t.setDaemon(true);
      t.start();
    }
    java.nio.file.Files.writeString(java.nio.file.Path.of("jvm.pid.partial"),
        Long.toString(ProcessHandle.current().pid()));
    java.nio.file.Files.move(java.nio.file.Path.of("jvm.pid.partial"),
        java.nio.file.Path.of("jvm.pid"));
    Thread.sleep(Long.parseLong(args[0]));
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

TEST_F(RealJava, EveryThreadOfTheJvmRunsIdle) {
  write_file(folder_ / "job.properties", "Java_Executable_Path=" + java +
                                             "\nClass_path_to_use=" + folder_.path().string() +
                                             "\nClass_to_run=Worker\nArgs_if_any=3000\n");
  const std::string job = link(lullrun_path, "job");
  WrapperProcess wrapper({.program = job, .folder = folder_.path()});
  const std::string pid_file = folder_ / "jvm.pid";
  for (int i = 0; i < 2000 && !std::filesystem::exists(pid_file); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(std::filesystem::exists(pid_file));
  const std::vector<ThreadClass> threads = thread_classes(std::stoi(read_file(pid_file)));
  EXPECT_GT(threads.size(), 8U);  // the JVM's own threads and the four workers
  for (const ThreadClass& thread : threads) {
    EXPECT_EQ(thread.policy, 5) << "thread " << thread.tid;  // SCHED_IDLE
    EXPECT_EQ(thread.nice, 19) << "thread " << thread.tid;
  }
  EXPECT_EQ(wrapper.wait(seconds(30)), 0);
}

TEST_F(RealJava, LullspawnClassPathDotIsTheProgramsFolder) {
  write_file(folder_ / "job.properties",
             "Java_Executable_Path=" + java + "\nClass_to_run=Worker\nArgs_if_any=0\n");
  const std::string job = link(lullspawn_path, "job");
  std::filesystem::create_directory(folder_ / "elsewhere");
  EXPECT_EQ(run_wrapper_process({.program = job, .folder = folder_ / "elsewhere"}, seconds(30)), 0);
  EXPECT_TRUE(std::filesystem::exists(folder_ / "jvm.pid"));
}

}  // namespace
}  // namespace lull::testing
