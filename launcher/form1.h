// The wrapper's window object: the state it holds for the life of the
// program, its two handlers, and what a program tells the shared start-up
// sequence about itself.
#pragma once

#include <string>

#include "platform/host.h"
#include "platform/process.h"

namespace lull {

// What one program does differently from the other.
struct Build {
  // Whether the window style is read from the settings file
  // ("Java_run_minimized_no_focus", "Extern_run_minimized_no_focus").
  bool reads_window_style_keys = true;
  // Creates the Java child itself instead of handing its command line to the
  // start service; null to use the start service.
  platform::ProcessInformation (*create_java_child)(
      platform::ProcessServices& processes, const platform::CommandLine& command,
      const platform::ProgramIdentity& identity) = nullptr;
};

// The program's only window object.
class Form1 final : public platform::WindowEvents {
 public:
  Form1(platform::Window& window, platform::ProcessServices& processes,
        const platform::ProgramIdentity& identity, const Build& build)
      : window_(window), processes_(processes), identity_(identity), build_(build) {}

  // Start-up: decides what to run, starts it, lowers its priority, and hands
  // over to the watch.
  void Form_Load();
  // The watch: ends the program once the child is gone.
  void Timer1_Timer();

  // The status the program ends with once the watch is over: the child's
  // end, or why it was not seen to end.
  [[nodiscard]] int exit_status() const;

 private:
  void load() override { Form_Load(); }
  void timer() override { Timer1_Timer(); }
  // The child is left to the session's end, as every process of the session
  // is: it hears of it from the system itself and may save its work.
  int session_end() override { return exit_status(); }

  [[nodiscard]] std::string settings_path() const;
  [[nodiscard]] platform::WindowStyle style_from(const std::string& key) const;
  platform::ProcessInformation start_pass_through();
  platform::ProcessInformation start_java();

  platform::Window& window_;
  platform::ProcessServices& processes_;
  const platform::ProgramIdentity& identity_;
  const Build& build_;
  platform::ProcessId watched_process_id_ = 0;
};

// Runs a wrapper program from start to end; returns its exit status.
int run_wrapper(const platform::ProgramIdentity& identity, const Build& build);

}  // namespace lull
