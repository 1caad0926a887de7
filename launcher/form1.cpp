#include "launcher/form1.h"

#include <algorithm>
#include <cctype>

#include "launcher/java_command.h"
#include "settings/ini_stripper.h"

namespace lull {
namespace {

constexpr int timer_interval_ms = 4000;
constexpr const char* caption = "program wrapper";

bool equals_true_in_any_case(const std::string& value) {
  std::string upper = value;
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return upper == "TRUE";
}

}  // namespace

std::string Form1::settings_path() const {
  return identity_.folder + platform::folder_separator + identity_.base_name + ".properties";
}

platform::WindowStyle Form1::style_from(const std::string& key) const {
  return equals_true_in_any_case(INIStripper(key, settings_path()))
             ? platform::WindowStyle::minimized_no_focus
             : platform::WindowStyle::normal_focus;
}

platform::ProcessInformation Form1::start_pass_through() {
  const platform::WindowStyle style = build_.reads_window_style_keys
                                          ? style_from("Extern_run_minimized_no_focus")
                                          : platform::WindowStyle::normal_focus;
  return {.id = processes_.start(identity_.arguments, style)};
}

platform::ProcessInformation Form1::start_java() {
  // Each key is a lookup of its own, in this order, so a first run appends
  // the missing keys in this order.
  JavaSettings settings;
  settings.java_executable_path = INIStripper("Java_Executable_Path", settings_path());
  settings.class_path_to_use = INIStripper("Class_path_to_use", settings_path());
  settings.class_to_run = INIStripper("Class_to_run", settings_path());
  settings.args_if_any = INIStripper("Args_if_any", settings_path());
  const platform::WindowStyle style = build_.reads_window_style_keys
                                          ? style_from("Java_run_minimized_no_focus")
                                          : platform::WindowStyle::normal_focus;
  const auto command = platform::CommandLine::from_text(compose_java_command(settings));
  if (build_.create_java_child != nullptr)
    return build_.create_java_child(processes_, command, identity_);
  return {.id = processes_.start(command, style)};
}

void Form1::Form_Load() {
  const platform::ProcessInformation child =
      identity_.arguments.empty() ? start_java() : start_pass_through();
  // A start that failed leaves the id at 0: no handle below, and the first
  // check ends the program.
  watched_process_id_ = child.id;
  const platform::Handle process =
      child.process != 0 ? child.process : processes_.open_for_priority(child.id);
  if (process != 0) processes_.set_idle_priority(process);
  processes_.close(process);
  processes_.close(child.thread);
  window_.hide();
  Timer1_Timer();
}

void Form1::Timer1_Timer() {
  const platform::Handle probe = processes_.open_to_probe(watched_process_id_);
  if (probe == 0) window_.unload();
  processes_.close(probe);
}

int Form1::exit_status() const {
  processes_.end_as_child_did(watched_process_id_);
  return processes_.exit_status(watched_process_id_);
}

int run_wrapper(const platform::ProgramIdentity& identity, const Build& build) {
  platform::ProcessServices processes;
  platform::Window window(caption, timer_interval_ms);
  Form1 form(window, processes, identity, build);
  window.run(form, processes.follow_up());
  return form.exit_status();
}

}  // namespace lull
