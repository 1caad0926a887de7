// A job is never left frozen: its wrapper thaws it on every signal that ends
// or stops it, through a descriptor no limit can take away, while its
// standard error is not read, and a guard thaws it when the wrapper is killed
// outright. A real foreground that waits on the disk pauses a job that reads
// it; nothing else does, and a pause that does not lower the others' stall
// (a job that serves reads to them) is undone. Real leaves in the machine's
// unified tree.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string_view>
#include <thread>
#include <utility>

#include "linux/e2e_fixture.h"

namespace lull::testing {
namespace {

// How many times `what` stands in `text`.
std::size_t times_in(const std::string& text, std::string_view what) {
  std::size_t times = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++times;
  return times;
}

using std::chrono::milliseconds;
using std::chrono::seconds;
using clock = std::chrono::steady_clock;

// Whether `check` holds within `limit`, looked at every 10 ms.
template <typename Check>
bool within(milliseconds limit, Check check) {
  const auto deadline = clock::now() + limit;
  while (!check()) {
    if (clock::now() > deadline) return false;
    std::this_thread::sleep_for(milliseconds(10));
  }
  return true;
}

// What was asked of the leaf: "1" frozen, "0" thawed.
bool asked_frozen(const std::string& leaf) { return read_file(leaf + "/cgroup.freeze") == "1\n"; }

bool becomes_frozen(const std::string& leaf, bool frozen) {
  const std::string wanted = frozen ? "frozen 1" : "frozen 0";
  return within(seconds(10), [&] {
    return read_file(leaf + "/cgroup.events").find(wanted) != std::string::npos;
  });
}

// Whether process `pid` is stopped (state T), as after Ctrl-Z.
bool stopped(pid_t pid) {
  const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t end = stat.rfind(')');
  return end != std::string::npos && stat.compare(end + 2, 1, "T") == 0;
}

class Pause : public WrapperTest {
 protected:
  // Starts a wrapper whose test child holds, in a leaf of its own; skips
  // where there is no such leaf to be had.
  std::unique_ptr<WrapperProcess> start(std::vector<std::string> environment = {},
                                        const Launch& base = {}) {
    std::filesystem::remove(report_path());
    environment.push_back(report_variable());
    environment.push_back(hold_variable());
    Launch launch = base;
    launch.program = link_once();
    launch.arguments = {test_child_path};
    launch.environment = environment;
    auto wrapper = std::make_unique<WrapperProcess>(launch);
    const Report report = wait_for_report(report_path());
    if (values(report, "pid").size() != 1) return nullptr;
    child_ = std::stoi(values(report, "pid").front());
    const std::vector<std::string> workers = values(report, "worker");
    worker_ = workers.empty() ? 0 : std::stoi(workers.front());
    leaf_.clear();
    for (const std::string& line : values(report, "cgroup"))
      if (line.starts_with("0::") && line.find("/lullrun-job-") != std::string::npos)
        leaf_ = unified_mount() + line.substr(3);
    return wrapper;
  }
  [[nodiscard]] bool in_leaf() const { return !leaf_.empty() && ::geteuid() == 0; }
  std::string link_once() {
    if (job_.empty()) job_ = link(lullrun_path, "job");
    return job_;
  }
  // Freezes the job's leaf, as a pause does; whether the kernel says it is.
  [[nodiscard]] bool freeze() const {
    write_file(leaf_ + "/cgroup.freeze", "1");
    return becomes_frozen(leaf_, true);
  }
  // `signal` ends the wrapper within `limit` by that signal, the job thawed.
  void expect_ends_thawed(WrapperProcess& wrapper, int signal, milliseconds limit = patience) {
    ::kill(wrapper.pid(), signal);
    EXPECT_EQ(wrapper.wait(limit), 128 + signal);
    EXPECT_FALSE(asked_frozen(leaf_));
  }
  // Lets the child go and waits for it; a failed check leaves nothing frozen.
  void let_go() {
    if (!leaf_.empty()) write_file(leaf_ + "/cgroup.freeze", "0");
    release_child();
    EXPECT_TRUE(wait_until_gone(child_, patience));
  }

  pid_t child_ = 0;
  pid_t worker_ = 0;
  std::string leaf_;
  std::string job_;
};

// The wrapper started (its child reported), and the job in a leaf, or skip.
#define SKIP_WITHOUT_LEAF(wrapper)                                          \
  ASSERT_NE(wrapper, nullptr);                                              \
  if (!in_leaf()) {                                                         \
    let_go();                                                               \
    GTEST_SKIP() << "needs root and the job in a leaf of the unified tree"; \
  }

TEST_F(Pause, AFrozenJobIsThawedWhenItsWrapperEnds) {
  const std::string job = link(lullrun_path, "job");
  for (const int signal : {SIGTERM, SIGKILL}) {
    SCOPED_TRACE(signal);
    std::filesystem::remove(report_path());
    WrapperProcess wrapper({.program = job,
                            .arguments = {test_child_path},
                            .environment = {report_variable(), hold_variable()}});
    const Report report = wait_for_report(report_path());
    ASSERT_EQ(values(report, "pid").size(), 1U);
    const pid_t child = std::stoi(values(report, "pid").front());
    std::string group;
    for (const std::string& line : values(report, "cgroup"))
      if (line.starts_with("0::")) group = line.substr(3);
    const std::string leaf = unified_mount() + group;
    if (group.find("/lullrun-job-") == std::string::npos || ::geteuid() != 0) {
      ::kill(child, SIGKILL);
      GTEST_SKIP() << "needs root and the job in a leaf of the unified tree";
    }
    write_file(leaf + "/cgroup.freeze", "1");
    ASSERT_TRUE(becomes_frozen(leaf, true));
    ::kill(wrapper.pid(), signal);
    EXPECT_EQ(wrapper.wait(patience), 128 + signal);
    if (signal == SIGKILL) run_wrapper_process({.program = job, .arguments = {"/bin/true"}});
    EXPECT_TRUE(becomes_frozen(leaf, false));
    write_file(leaf + "/cgroup.freeze", "0");  // a failed check leaves nothing frozen
    release_child();
    EXPECT_TRUE(wait_until_gone(child, patience));
    ::rmdir(leaf.c_str());
  }
}

// Every signal that ends the wrapper, caught from the loop or by a handler
// (a fault, abort()), thaws first, then ends it by that signal.
TEST_F(Pause, EverySignalThatEndsTheWrapperThawsTheJobFirst) {
  std::vector<int> signals{SIGTERM, SIGINT,       SIGHUP,  SIGQUIT, SIGPIPE, SIGUSR1, SIGXFSZ,
                           SIGALRM, SIGRTMIN + 3, SIGABRT, SIGILL,  SIGSYS,  SIGTRAP};
#ifndef LULL_SANITIZED
  // A sanitizer's runtime keeps these for itself, and the wrapper leaves a
  // signal that is handled already as it is.
  signals.insert(signals.end(), {SIGSEGV, SIGBUS, SIGFPE});
#endif
  for (const int signal : signals) {
    SCOPED_TRACE(strsignal(signal));
    const auto wrapper = start();
    SKIP_WITHOUT_LEAF(wrapper);
    ASSERT_TRUE(freeze());
    expect_ends_thawed(*wrapper, signal);
    let_go();
  }
}

// Ctrl-Z: the job runs while its wrapper is stopped.
TEST_F(Pause, AStoppedWrapperLeavesItsJobRunning) {
  const auto wrapper = start();
  SKIP_WITHOUT_LEAF(wrapper);
  ASSERT_TRUE(freeze());
  ::kill(wrapper->pid(), SIGTSTP);
  EXPECT_TRUE(within(seconds(10), [&] { return stopped(wrapper->pid()); }));
  EXPECT_FALSE(asked_frozen(leaf_));
  ::kill(wrapper->pid(), SIGCONT);
  EXPECT_TRUE(within(seconds(10), [&] { return !stopped(wrapper->pid()); }));
  let_go();
  EXPECT_EQ(wrapper->wait(patience), 0);
}

// A standard error nobody reads holds the wrapper up nowhere: the child
// starts, a SIGTERM ends the wrapper at once with the job thawed, and the
// lines it could not write are counted.
TEST_F(Pause, AStandardErrorNobodyReadsHoldsNothingUp) {
  int pipe_ends[2];
  ASSERT_EQ(::pipe2(pipe_ends, O_NONBLOCK | O_CLOEXEC), 0);
  const std::string block(4096, 'x');
  while (::write(pipe_ends[1], block.data(), block.size()) > 0) {
  }
  ::fcntl(pipe_ends[1], F_SETFL, 0);  // full, and a writer would wait
  const auto wrapper = start({"LULLRUN_DEBUG=1"}, {.program = {}, .standard_output = pipe_ends[1]});
  if (!in_leaf()) ::close(pipe_ends[0]);
  SKIP_WITHOUT_LEAF(wrapper);
  ASSERT_TRUE(freeze());
  std::array<char, 4096> drained{};
  while (::read(pipe_ends[0], drained.data(), drained.size()) > 0) {
  }
  expect_ends_thawed(*wrapper, SIGTERM, seconds(5));
  ::close(pipe_ends[1]);
  std::string said;
  for (ssize_t got = 0; (got = ::read(pipe_ends[0], drained.data(), drained.size())) > 0;)
    said.append(drained.data(), static_cast<std::size_t>(got));
  EXPECT_NE(said.find("lines dropped before this one"), std::string::npos) << said;
  ::close(pipe_ends[0]);
  let_go();
}

#ifndef LULL_SANITIZED
// Five descriptors: the standard three, the leaf's cgroup.freeze, open from
// the start, and the signalfd; no room for another to thaw with.
TEST_F(Pause, ADescriptorLimitKeepsNoThawFromBeingWritten) {
  const auto wrapper = start({}, {.program = {}, .descriptor_limit = 5});
  SKIP_WITHOUT_LEAF(wrapper);
  ASSERT_TRUE(freeze());
  expect_ends_thawed(*wrapper, SIGTERM);
  let_go();
}
#endif

// The groups named `prefix`... in `folder`, down to `depth` levels; groups
// other tests remove meanwhile are passed by.
std::vector<std::string> groups_named(const std::string& folder, const std::string& prefix,
                                      int depth) {
  std::vector<std::string> found;
  std::error_code error;
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    if (!it->is_directory(error)) continue;
    if (it->path().filename().string().starts_with(prefix)) found.push_back(it->path());
    if (depth > 1)
      for (std::string& below : groups_named(it->path(), prefix, depth - 1))
        found.push_back(std::move(below));
  }
  return found;
}

// A start that fails leaves no leaf behind, and no shared group it made.
TEST_F(Pause, AFailedStartLeavesNothing) {
  WrapperProcess wrapper({.program = link_once(), .arguments = {"/nonexistent/program"}});
  const pid_t maker = wrapper.pid();
  EXPECT_EQ(wrapper.wait(patience), 127);
  EXPECT_EQ(groups_named(unified_mount(), "lullrun-job-" + std::to_string(maker) + "-", 4),
            std::vector<std::string>{});
}

// A wrapper that is another's job leaves the pause to that one: frozen by
// it, it could neither thaw its own job nor see it told to end.
TEST_F(Pause, AWrapperInsideAnothersJobDoesNotPause) {
  std::filesystem::remove(report_path());
  WrapperProcess outer({.program = link_once(),
                        .arguments = {lullrun_path, test_child_path},
                        .environment = {"LULLRUN_DEBUG=1", report_variable(), hold_variable()},
                        .standard_output = log_descriptor()});
  const Report report = wait_for_report(report_path());
  ASSERT_EQ(values(report, "pid").size(), 1U);
  child_ = std::stoi(values(report, "pid").front());
  const bool nested_in_leaf =
      read_file(log_path()).find("leaf: the job is in") != std::string::npos;
  let_go();
  EXPECT_EQ(outer.wait(patience), 0);
  if (!nested_in_leaf || ::geteuid() != 0) GTEST_SKIP() << "needs root and leaves";
  // The inner wrapper makes a leaf of its own where the rules of the outer
  // leaf let it, and then refuses to pause; where they do not (a service
  // manager's machine, whose socket program sits on the outer leaf), its job
  // stays in the outer leaf, and it has no leaf to pause.
  const std::string log = read_file(log_path());
  EXPECT_NE(log.find(times_in(log, "leaf: the job is in") > 1
                         ? "pause: none: the wrapper runs in another wrapper's job"
                         : "pause: none: the job has no leaf of its own"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("pause: the job paused"), std::string::npos) << log;
}

// A file of 64 MiB on the disk, written once and kept for later runs: read
// without the page cache, every read goes to the disk.
std::string disk_file() {
  std::string path = "/var/tmp/lull-pause-test.data";
  constexpr std::uintmax_t size = 64 << 20;
  std::error_code error;
  if (std::filesystem::file_size(path, error) == size) return path;
  std::ofstream out(path + ".partial", std::ios::binary);
  const std::string block(1 << 20, 'x');
  for (std::uintmax_t written = 0; written < size; written += block.size()) out << block;
  out.close();
  std::filesystem::rename(path + ".partial", path, error);
  ::sync();
  return error ? "" : path;
}

// A process forked into a group of its own in the unified tree, beside
// whatever sits in the root, running `body` (which never returns); killed,
// and its group removed, at the end.
class GroupedProcess {
 public:
  template <typename Body>
  GroupedProcess(const std::string& name, Body body)
      : group_(unified_mount() + "/lull-test-" + name + "-" + std::to_string(::getpid())) {
    ::mkdir(group_.c_str(), 0755);
    pid_ = ::fork();
    if (pid_ == 0) {
      std::ofstream(group_ + "/cgroup.procs") << "0\n";
      body();
    }
  }
  ~GroupedProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    within(seconds(5), [&] { return ::rmdir(group_.c_str()) == 0 || errno == ENOENT; });
  }
  GroupedProcess(const GroupedProcess&) = delete;
  GroupedProcess& operator=(const GroupedProcess&) = delete;

 private:
  std::string group_;
  pid_t pid_ = -1;
};

// A foreground that reads one 4 KiB block at a time from the disk, without
// the page cache, as an interactive program does, and so waits on the disk
// much of the time.
[[noreturn]] void read_blocks_at_random(const std::string& disk) {
  const int fd = ::open(disk.c_str(), O_RDONLY | O_DIRECT);
  void* block = nullptr;
  if (fd < 0 || ::posix_memalign(&block, 4096, 4096) != 0) ::_exit(1);
  const off_t blocks = ::lseek(fd, 0, SEEK_END) / 4096;
  if (blocks <= 0) ::_exit(1);
  for (unsigned long next = 1;; next = next * 6364136223846793005UL + 1) {
    const off_t at = static_cast<off_t>((next >> 17) % blocks) * 4096;
    [[maybe_unused]] const ssize_t got = ::pread(fd, block, 4096, at);
  }
}

class Foreground : public GroupedProcess {
 public:
  explicit Foreground(const std::string& disk)
      : GroupedProcess("foreground", [disk] { read_blocks_at_random(disk); }) {}
};

// A real pause, made by a real foreground that waits on the disk beside a job
// that reads it.
class RealPause : public Pause {
 protected:
  void SetUp() override {
    if (::geteuid() != 0 || disk_file().empty()) GTEST_SKIP() << "needs root and a disk to read";
  }
  // With `output` as its standard output and error where given.
  std::unique_ptr<WrapperProcess> start_reading(std::vector<std::string> environment = {},
                                                int output = -1) {
    environment.push_back("LULL_READ=" + disk_file());
    return start(std::move(environment), {.program = {}, .standard_output = output});
  }
  // Whether the leaf was asked to be frozen at some moment within `limit`.
  [[nodiscard]] bool pauses_within(milliseconds limit) const {
    return within(limit, [&] { return asked_frozen(leaf_); });
  }
};

// The guard started with the first pause thaws the job within a second of
// its wrapper's SIGKILL, with no later start.
TEST_F(RealPause, AForegroundWaitingOnTheDiskPausesTheJobAndAKilledWrapperLetsItGo) {
  const Foreground foreground(disk_file());
  const auto wrapper = start_reading();
  SKIP_WITHOUT_LEAF(wrapper);
  ASSERT_TRUE(pauses_within(seconds(20)));
  ::kill(wrapper->pid(), SIGKILL);
  EXPECT_EQ(wrapper->wait(patience), 128 + SIGKILL);
  EXPECT_TRUE(within(milliseconds(1500), [&] { return !asked_frozen(leaf_); }));
  let_go();
}

// A foreground bound to the disk waits on it about as much with the job
// frozen, but reads more: that pause helps, and is not undone as useless.
TEST_F(RealPause, APauseBesideAReaderBoundToTheDiskHolds) {
  const Foreground foreground(disk_file());
  const auto wrapper = start_reading({"LULLRUN_DEBUG=1"}, log_descriptor());
  SKIP_WITHOUT_LEAF(wrapper);
  ASSERT_TRUE(pauses_within(seconds(20)));
  std::this_thread::sleep_for(seconds(3));
  EXPECT_EQ(read_file(log_path()).find("did not lower"), std::string::npos)
      << read_file(log_path());
  let_go();
}

// A job that read the disk a moment and now only waits is not paused by a
// foreground that waits on the disk after it: freezing it would relieve no
// one, and the watch still looks (its job moved something 2 s ago or less).
TEST_F(RealPause, AJobThatNoLongerReadsIsNotPaused) {
  const auto wrapper = start_reading({"LULL_READ_FOR=1000", "LULLRUN_DEBUG=1"}, log_descriptor());
  SKIP_WITHOUT_LEAF(wrapper);
  ASSERT_GT(worker_, 0);
  ASSERT_TRUE(within(seconds(10), [&] {
    return read_file(log_path()).find("watching the stall") != std::string::npos;
  })) << read_file(log_path());
  // Its reads are over once its I/O counts stand still.
  const std::string counts = "/proc/" + std::to_string(worker_) + "/io";
  std::string read = read_file(counts);
  ASSERT_TRUE(within(seconds(10), [&] {
    std::this_thread::sleep_for(milliseconds(150));
    const std::string before = std::exchange(read, read_file(counts));
    return before == read;
  }));
  const Foreground foreground(disk_file());
  EXPECT_FALSE(pauses_within(seconds(3))) << read_file(log_path());
  let_go();
}

// Neither the job's own stall nor a foreground pauses a job run with
// LULLRUN_PAUSE=0; the job's own stall alone pauses nothing either.
TEST_F(RealPause, NoPauseForTheJobsOwnStallNorWithThePauseOff) {
  {
    const auto wrapper = start_reading();
    SKIP_WITHOUT_LEAF(wrapper);
    EXPECT_FALSE(pauses_within(seconds(4)));
    let_go();
  }
  const Foreground foreground(disk_file());
  const auto wrapper = start_reading({"LULLRUN_PAUSE=0"});
  ASSERT_NE(wrapper, nullptr);
  EXPECT_FALSE(pauses_within(seconds(4)));
  let_go();
}

// A process in a group the job made below its leaf, told to end while the
// job is paused, ends within a second or so, not at the 10 s bound; the
// emptied groups go with the leaf.
TEST_F(RealPause, AProcessBelowTheLeafToldToEndRunsItsHandlerAtOnce) {
  const Foreground foreground(disk_file());
  const auto wrapper = start_reading({"LULL_SUBGROUP=1", "LULLRUN_DEBUG=1"}, log_descriptor());
  SKIP_WITHOUT_LEAF(wrapper);
  ASSERT_GT(worker_, 0);
  ASSERT_TRUE(pauses_within(seconds(20)));
  ASSERT_TRUE(becomes_frozen(leaf_, true));
  ::kill(worker_, SIGTERM);
  EXPECT_TRUE(wait_until_gone(worker_, milliseconds(3000)));
  EXPECT_TRUE(within(seconds(3), [&] {
    return read_file(log_path()).find("told to end") != std::string::npos;
  })) << read_file(log_path());
  let_go();
  EXPECT_EQ(wrapper->wait(patience), 0);
  EXPECT_FALSE(std::filesystem::exists(leaf_));
}

// SIGQUIT (a JVM's thread dump) or SIGHUP (a reload) pending: thawed to
// answer, and paused again afterwards.
TEST_F(RealPause, ASignalToAnswerThawsButThePausesGoOn) {
  const Foreground foreground(disk_file());
  const auto wrapper = start_reading({"LULLRUN_DEBUG=1"}, log_descriptor());
  SKIP_WITHOUT_LEAF(wrapper);
  ASSERT_TRUE(pauses_within(seconds(20)));
  ASSERT_TRUE(becomes_frozen(leaf_, true));
  ::kill(worker_, SIGQUIT);
  EXPECT_TRUE(within(seconds(3), [&] { return !asked_frozen(leaf_); }));
  // The line follows the thaw: it may be written a moment after.
  EXPECT_TRUE(within(seconds(3), [&] {
    return read_file(log_path()).find("a signal to answer") != std::string::npos;
  })) << read_file(log_path());
  EXPECT_TRUE(pauses_within(seconds(20)));
  let_go();
}

// A client of a file system the job serves, in a group of its own: reads its
// file a MiB at a time through the page cache for `span`, the cached pages
// dropped after each pass, and tells the longest one read waited.
class Client {
 public:
  Client(const std::string& file, milliseconds span)
      : result_(pipe_ends()), process_("client", [this, file, span] { read_for(file, span); }) {
    ::close(result_[1]);
  }
  ~Client() { ::close(result_[0]); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Once it is done: the longest wait in one read, and the bytes read in all.
  std::pair<milliseconds, std::int64_t> result() {
    std::array<std::int64_t, 2> said{-1, 0};
    (void)!::read(result_[0], said.data(), sizeof said);
    return {milliseconds(said[0]), said[1]};
  }

 private:
  static std::array<int, 2> pipe_ends() {
    std::array<int, 2> ends{-1, -1};
    (void)!::pipe(ends.data());
    return ends;
  }
  [[noreturn]] void read_for(const std::string& file, milliseconds span) {
    const int fd = ::open(file.c_str(), O_RDONLY);
    std::vector<char> chunk(1 << 20);
    std::array<std::int64_t, 2> said{0, 0};
    off_t at = 0;
    for (const auto end = clock::now() + span; fd >= 0 && clock::now() < end;) {
      const auto asked = clock::now();
      const ssize_t got = ::pread(fd, chunk.data(), chunk.size(), at);
      said[0] = std::max<std::int64_t>(
          said[0], std::chrono::duration_cast<milliseconds>(clock::now() - asked).count());
      if (got < 0) break;
      said[1] += got;
      at = got > 0 ? at + got : 0;
      if (got == 0) ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    }
    (void)!::write(result_[1], said.data(), sizeof said);
    ::_exit(0);
  }

  std::array<int, 2> result_;
  GroupedProcess process_;
};

// A file system the job mounted, detached at the end, which ends its server.
class Mounted {
 public:
  explicit Mounted(std::string folder) : folder_(std::move(folder)) {
    std::filesystem::create_directory(folder_);
  }
  ~Mounted() { detach(); }
  Mounted(const Mounted&) = delete;
  Mounted& operator=(const Mounted&) = delete;
  void detach() const { ::umount2(folder_.c_str(), MNT_DETACH); }
  [[nodiscard]] const std::string& folder() const { return folder_; }

 private:
  std::string folder_;
};

// A job that serves reads to others (a FUSE file system) is paused by its own
// client's wait, which the pause cannot lower: within its first second or so
// the job runs again, and is left alone a while; the client never waits
// anywhere near the 10 s bound for one read.
TEST_F(RealPause, APauseThatDoesNotLowerTheOthersStallIsUndone) {
  if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "needs /dev/fuse";
  const Mounted mount(folder_ / "mount");
  const auto wrapper =
      start_reading({"LULL_SERVE=" + mount.folder(), "LULLRUN_DEBUG=1"}, log_descriptor());
  SKIP_WITHOUT_LEAF(wrapper);
  if (worker_ == 0 || ::access((leaf_ + "/cgroup.freeze").c_str(), F_OK) != 0) {
    let_go();
    GTEST_SKIP() << "needs a FUSE mount made by the job and a leaf that can be frozen";
  }
  Client client(mount.folder() + "/file", seconds(6));
  const auto [longest, bytes] = client.result();
  EXPECT_GE(bytes, 1 << 20) << "nothing read through the mount";
  RecordProperty("longest_read_wait_ms", std::to_string(longest.count()));
  // Half the bound: the pause itself lasts 1.2 s, and the job's reads wait in
  // the idle I/O class and its server for an idle processor as well.
  EXPECT_LT(longest, seconds(5)) << read_file(log_path());
  EXPECT_TRUE(within(seconds(3), [&] {
    return read_file(log_path()).find("the pause did not lower the others' stall") !=
           std::string::npos;
  })) << read_file(log_path());
  // Then left alone for 5 s: not paused again while the client read.
  const std::string log = read_file(log_path());
  EXPECT_LE(times_in(log, "pause: the job paused"), 2U) << log;
  mount.detach();
  let_go();
  EXPECT_EQ(wrapper->wait(patience), 0);
}

}  // namespace
}  // namespace lull::testing
