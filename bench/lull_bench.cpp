// The benchmark's measuring helper: a busy worker, timed process starts, a
// child whose end is timed, and the settings lookup timed in process. bench/run drives it; every
// figure it prints is raw, one sample a line, and bench/run does the statistics.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "settings/ini_stripper.h"

extern char** environ;

namespace {

std::int64_t monotonic_ns() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

std::int64_t process_cpu_ns() {
  timespec used{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used);
  return static_cast<std::int64_t>(used.tv_sec) * 1'000'000'000 + used.tv_nsec;
}

int usage() {
  std::fputs(
      "usage: lull_bench [-classpath PATH] COMMAND ...\n"
      "  spin THREADS SECONDS [REPORT_MS]  busy threads; prints 'ready', the work done\n"
      "                                  every REPORT_MS ('at NS N'), then 'work N'\n"
      "  sleep SECONDS                   sleeps (a quiet child to watch)\n"
      "  exit-child PIDFILE MILLISECONDS writes its pid, sleeps, ends\n"
      "  exit-once PIDFILE -- COMMAND... runs COMMAND, prints ns from its exit-child's end\n"
      "                                  to its own reaping\n"
      "  spawn-times RUNS -- A... [-- B...]  wall and CPU ns of each command, interleaved\n"
      "  lookup FILE REPS                wall and CPU ns of the five Java-mode lookups in FILE\n",
      stderr);
  return 2;
}

// One thread's count of work done, on a cache line of its own.
struct alignas(64) WorkCount {
  std::atomic<std::uint64_t> done{0};
};

// One busy thread: a chain of multiplications the compiler cannot drop,
// counted in blocks so that the stop flag is seldom read.
void spin_thread(const std::atomic<bool>& stop, WorkCount& count) {
  constexpr std::uint64_t block = 1 << 14;
  std::uint64_t state = reinterpret_cast<std::uintptr_t>(&state);
  while (!stop.load(std::memory_order_relaxed)) {
    for (std::uint64_t i = 0; i < block; ++i) state = state * 6364136223846793005ULL + 1;
    count.done.store(count.done.load(std::memory_order_relaxed) + block, std::memory_order_relaxed);
  }
  if (state == 42) count.done.fetch_add(1);
}

// Busy threads for `seconds`; with `report_ms`, the work done so far is
// printed that often, with the monotonic time, so that a caller can take
// the rate over any window.
int spin(int threads, double seconds, int report_ms) {
  std::atomic<bool> stop{false};
  const auto counts = std::make_unique<WorkCount[]>(static_cast<std::size_t>(threads));
  const auto total = [&] {
    std::uint64_t sum = 0;
    for (int i = 0; i < threads; ++i) sum += counts[i].done.load(std::memory_order_relaxed);
    return sum;
  };
  std::vector<std::thread> workers;
  for (int i = 0; i < threads; ++i)
    workers.emplace_back(spin_thread, std::cref(stop), std::ref(counts[i]));
  std::printf("ready\n");
  std::fflush(stdout);
  using clock = std::chrono::steady_clock;
  const clock::time_point end = clock::now() + std::chrono::duration_cast<clock::duration>(
                                                   std::chrono::duration<double>(seconds));
  if (report_ms > 0) {
    for (clock::time_point next = clock::now(); next < end;) {
      next += std::chrono::milliseconds(report_ms);
      std::this_thread::sleep_until(std::min(next, end));
      std::printf("at %lld %llu\n", static_cast<long long>(monotonic_ns()),
                  static_cast<unsigned long long>(total()));
      std::fflush(stdout);
    }
  } else {
    std::this_thread::sleep_until(end);
  }
  stop = true;
  for (std::thread& worker : workers) worker.join();
  std::printf("work %llu\n", static_cast<unsigned long long>(total()));
  return 0;
}

// Tells where it is (its pid, in a file written whole), waits, and ends.
int exit_child(const std::string& pid_path, int milliseconds) {
  const std::string pid = std::to_string(::getpid()) + "\n";
  const std::string partial = pid_path + ".partial";
  const int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || ::write(fd, pid.data(), pid.size()) != static_cast<ssize_t>(pid.size())) _exit(1);
  ::close(fd);
  if (::rename(partial.c_str(), pid_path.c_str()) != 0) _exit(1);
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  ::_exit(0);
}

std::int64_t cpu_ns(const rusage& usage) {
  return (static_cast<std::int64_t>(usage.ru_utime.tv_sec) + usage.ru_stime.tv_sec) *
             1'000'000'000 +
         (static_cast<std::int64_t>(usage.ru_utime.tv_usec) + usage.ru_stime.tv_usec) * 1000;
}

// Starts `command`, its output thrown away (it would mix with the figures
// this program prints); returns its pid, or 0 when it could not be started.
pid_t spawn(std::vector<char*>& command) {
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int failed = ::posix_spawnp(&pid, command[0], &actions, nullptr, command.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  return failed == 0 ? pid : 0;
}

// Waits for `pid`; returns the monotonic time of the reap, or -1 when it did
// not end with status 0. `cpu` receives the CPU time of the process and of
// every child it reaped.
std::int64_t wait_for(pid_t pid, std::int64_t* cpu = nullptr) {
  int status = 0;
  rusage usage{};
  while (::wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) return -1;
  }
  const std::int64_t reaped = monotonic_ns();
  if (cpu != nullptr) *cpu = cpu_ns(usage);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? reaped : -1;
}

// The pid that an exit-child wrote, once it has; 0 after ten seconds.
pid_t wait_for_pid_file(const char* pid_path) {
  for (int attempt = 0; attempt < 10000; ++attempt) {
    if (FILE* file = std::fopen(pid_path, "r")) {
      long pid = 0;
      const bool read = std::fscanf(file, "%ld", &pid) == 1;
      std::fclose(file);
      if (read) return static_cast<pid_t>(pid);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return 0;
}

// Runs a wrapper whose child is an exit-child; prints the ns from the child's
// end, as the kernel reports it through a pidfd, to the wrapper's reaping.
// The child's own way out (its memory torn down at idle priority) is not
// counted: only how soon the wrapper follows once the child is gone.
int exit_once(const char* pid_path, std::vector<char*> command) {
  ::unlink(pid_path);
  command.push_back(nullptr);
  const pid_t wrapper = spawn(command);
  if (wrapper <= 0) return 1;
  const pid_t child = wait_for_pid_file(pid_path);
  const int child_end = child > 0 ? static_cast<int>(::syscall(SYS_pidfd_open, child, 0)) : -1;
  std::int64_t ended = -1;
  if (child_end >= 0) {
    pollfd gone{child_end, POLLIN, 0};
    while (::poll(&gone, 1, -1) < 0 && errno == EINTR) {
    }
    ended = monotonic_ns();
    ::close(child_end);
  }
  const std::int64_t reaped = wait_for(wrapper);
  if (ended < 0 || reaped < 0) return 1;
  std::printf("%lld\n", static_cast<long long>(reaped - ended));
  return 0;
}

// Runs each command once per round, the order turned by one each round so
// that no command always follows the same one; prints "index wall-ns
// cpu-ns" per run, the CPU time being that of the command and its children.
int spawn_times(int runs, std::vector<std::vector<char*>> commands) {
  for (auto& command : commands) command.push_back(nullptr);
  const std::size_t count = commands.size();
  for (int round = 0; round < runs; ++round) {
    for (std::size_t k = 0; k < count; ++k) {
      const std::size_t index = (k + static_cast<std::size_t>(round)) % count;
      const std::int64_t started = monotonic_ns();
      std::int64_t cpu = 0;
      const pid_t pid = spawn(commands[index]);
      const std::int64_t ended = pid > 0 ? wait_for(pid, &cpu) : -1;
      if (ended < 0) {
        std::fprintf(stderr, "lull_bench: command %zu failed\n", index);
        return 1;
      }
      std::printf("%zu %lld %lld\n", index, static_cast<long long>(ended - started),
                  static_cast<long long>(cpu));
    }
  }
  return 0;
}

int lookup(const std::string& file, int reps) {
  static const char* const keys[] = {"Java_Executable_Path", "Class_path_to_use", "Class_to_run",
                                     "Args_if_any", "Java_run_minimized_no_focus"};
  for (int rep = 0; rep < reps; ++rep) {
    std::size_t found = 0;
    const std::int64_t started = monotonic_ns();
    const std::int64_t cpu_started = process_cpu_ns();
    for (const char* key : keys) found += lull::INIStripper(key, file).empty() ? 0 : 1;
    const std::int64_t cpu_ended = process_cpu_ns();
    const std::int64_t ended = monotonic_ns();
    // Every key must be there with a value: a miss would append to the file.
    if (found != std::size(keys)) {
      std::fprintf(stderr, "lull_bench: only %zu of the keys found in %s\n", found, file.c_str());
      return 1;
    }
    std::printf("%lld %lld\n", static_cast<long long>(ended - started),
                static_cast<long long>(cpu_ended - cpu_started));
  }
  return 0;
}

// Splits "A... -- B... -- C..." into commands.
std::vector<std::vector<char*>> commands_after(int first, int argc, char** argv) {
  std::vector<std::vector<char*>> commands(1);
  for (int i = first; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) {
      if (!commands.back().empty()) commands.emplace_back();
    } else {
      commands.back().push_back(argv[i]);
    }
  }
  if (commands.back().empty()) commands.pop_back();
  return commands;
}

}  // namespace

int main(int argc, char** argv) {
  // Started in the place of a Java program, it is given a class path first.
  int first = 1;
  if (argc > 2 && std::strcmp(argv[1], "-classpath") == 0) first = 3;
  if (argc <= first) return usage();
  const std::string command = argv[first];
  const int left = argc - first - 1;
  char** args = argv + first + 1;
  if (command == "spin" && (left == 2 || left == 3))
    return spin(std::atoi(args[0]), std::atof(args[1]), left == 3 ? std::atoi(args[2]) : 0);
  if (command == "sleep" && left == 1) {
    std::this_thread::sleep_for(std::chrono::duration<double>(std::atof(args[0])));
    return 0;
  }
  if (command == "exit-child" && left == 2) return exit_child(args[0], std::atoi(args[1]));
  if (command == "exit-once" && left >= 3 && std::strcmp(args[1], "--") == 0) {
    const auto commands = commands_after(first + 3, argc, argv);
    return commands.size() == 1 ? exit_once(args[0], commands[0]) : usage();
  }
  if (command == "spawn-times" && left >= 3 && std::strcmp(args[1], "--") == 0) {
    const auto commands = commands_after(first + 3, argc, argv);
    return commands.empty() ? usage() : spawn_times(std::atoi(args[0]), commands);
  }
  if (command == "lookup" && left == 2) return lookup(args[0], std::atoi(args[1]));
  return usage();
}
