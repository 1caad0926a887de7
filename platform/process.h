// The process services the wrapper needs from the operating system: start a
// child, open it for a priority change or a probe, set it idle, close; and
// what they learn of the child on the way.
// No operating-system header is included here; each system has its own
// implementation under platform/<system>/.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace lull::platform {

// A process id as the wrapper keeps it; 0 means no child.
using ProcessId = std::int32_t;

// A process or thread handle; 0 means none, and closing 0 does no harm.
using Handle = std::intptr_t;

// How the child's main window is shown. Systems without windows take the
// style and ignore it.
enum class WindowStyle : int {
  normal_focus = 1,        // a normal window, given the focus
  minimized_no_focus = 6,  // a minimized window, not given the focus
};

// A child's command line in one of two forms: `text`, one string that the
// system divides into program and arguments in its own way; or `words`, an
// argument vector that is handed over exactly as it stands.
struct CommandLine {
  std::string text;
  std::vector<std::string> words;
  bool is_words = false;

  static CommandLine from_text(std::string text) { return {std::move(text), {}, false}; }
  static CommandLine from_words(std::vector<std::string> words) {
    return {{}, std::move(words), true};
  }
  [[nodiscard]] bool empty() const { return is_words ? words.empty() : text.empty(); }
};

// What a direct creation fills in: the created process's handle and its main
// thread's handle (either may be 0), and its id. All zero when creation failed.
struct ProcessInformation {
  Handle process = 0;
  Handle thread = 0;
  ProcessId id = 0;
};

// Work the process services go on doing while the child runs, on a schedule
// of their own (on Linux, asking again for the child's session group where
// the kernel refused at first, and pausing the job while others wait on the
// disk). The window's loop runs it when it is due, and on every tick.
class FollowUp {
 public:
  // When it is next due; time_point::max() when nothing is pending.
  [[nodiscard]] virtual std::chrono::steady_clock::time_point due() const = 0;
  // Does what is due; early calls do nothing that is not.
  virtual void run() = 0;
  // The wrapper is about to end by a signal: leaves the child as the
  // wrapper's end must leave it (on Linux, not paused).
  virtual void finish() {}
  // The wrapper is about to stop (Ctrl-Z): leaves the child running while
  // it is stopped; `run` takes up the follow-up again once it goes on.
  virtual void suspend() {}
  // A descriptor whose urgent event (poll's POLLPRI) makes it due at once:
  // on Linux a kernel trigger that fires when the job starts waiting on the
  // disk. -1 when there is none.
  [[nodiscard]] virtual int wake_descriptor() const { return -1; }

 protected:
  ~FollowUp() = default;
};

// The process services, and what the wrapper learns of its child on the way:
// why the last start failed, how the child ended, and what is still to be
// done for it.
class ProcessServices {
 public:
  ProcessServices();
  ~ProcessServices();
  ProcessServices(const ProcessServices&) = delete;
  ProcessServices& operator=(const ProcessServices&) = delete;

  // Starts `command` as a new process, its window shown as `style` says, in
  // the wrapper's current folder. Returns the new process's id, or 0 when
  // nothing could be started. Here and in `create_process` the new process
  // is lowered before its first instruction (the idle class; on Windows its
  // memory priority, Efficiency mode and its traffic's DSCP mark too).
  ProcessId start(const CommandLine& command, WindowStyle style);

  // Creates `command` as a new process in `folder`, its window shown in the
  // system's default way. The record stays all zero when creation fails.
  ProcessInformation create_process(const CommandLine& command, const std::string& folder);

  // A handle through which the priority of process `id` may be changed, or 0
  // when no process has that id (0 included).
  Handle open_for_priority(ProcessId id);

  // A handle while process `id` exists; 0 once it has ended (or for id 0).
  Handle open_to_probe(ProcessId id);

  // Puts the process behind `process` into the lowest scheduling class the
  // system offers. The result is not reported.
  void set_idle_priority(Handle process);

  // Releases a handle; 0 does no harm.
  void close(Handle handle);

  // The status the wrapper ends with once its watch has ended: for id 0, the
  // status of the last start that failed (0 if none did); else what the
  // system reported of the child's end, where it reports anything. Where the
  // watch can end while the child still runs (Windows: its window closed),
  // a status of the system's own that says so.
  [[nodiscard]] int exit_status(ProcessId id) const;

  // Ends the wrapper the way process `id` ended, where the system tells more
  // than a status can: on Linux, a child ended by a signal ends the wrapper by
  // the same signal. Returns where there is nothing more to tell.
  void end_as_child_did(ProcessId id) const;

  // What is still to be done for the child while it runs.
  FollowUp& follow_up();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace lull::platform
