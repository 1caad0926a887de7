// What the operating system gives the wrapper besides process services: the
// program's identity and arguments, and the hidden window with its periodic
// timer whose unloading ends the program. No operating-system header here.
#pragma once

#include <string>

#include "platform/process.h"

namespace lull::platform {

// Who the running program is: its folder and base name (its file name
// without the last extension), and the argument text it was started with.
struct ProgramIdentity {
  std::string folder;
  std::string base_name;
  CommandLine arguments;
};

// Folder separator used to build paths beside the program.
extern const char folder_separator;

// The identity of the program file at `path`: the folder before the last
// separator ("." when there is none) and the file name without its last
// extension (a name that only starts with a dot keeps it). No arguments.
ProgramIdentity identity_of(const std::string& path);

// The handlers of the program's only window.
class WindowEvents {
 public:
  virtual void load() = 0;   // runs once, when the window is loaded
  virtual void timer() = 0;  // runs on every timer tick
  // The user's session ends (a log-off, a shutdown), and the system may end
  // the process the moment this returns: the status the program ends with,
  // decided now. Only Windows tells of it.
  virtual int session_end() = 0;

 protected:
  ~WindowEvents() = default;
};

// The program's only window and its timer. The window is created hidden and
// never shown. `run` loads it (calling `load` once), then delivers `timer`
// every `interval_ms` milliseconds until `unload` is called (or, when the
// session ends, ends the program with `session_end`'s status); where the system
// reports at once that a child changed state, `timer` runs then as well, so a
// gone child is noticed without waiting for the next tick. Between events it
// runs `follow_up` whenever that is due.
class Window {
 public:
  Window(const char* caption, int interval_ms);
  ~Window();
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;

  void run(WindowEvents& events, FollowUp& follow_up);
  void hide();
  void unload();

 private:
  struct State;
  State* state_;
};

// Each program's own entry: given its identity, runs the wrapper and returns
// the status the process ends with. Defined by the program, called by the
// platform's entry point (main or WinMain).
int program_main(const ProgramIdentity& identity);

}  // namespace lull::platform
