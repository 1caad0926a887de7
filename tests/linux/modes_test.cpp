// Both modes end to end: what a first run leaves, the command line the child
// receives, and which settings keys each mode reads.
#include <filesystem>

#include "linux/e2e_fixture.h"

namespace lull::testing {
namespace {

using std::chrono::milliseconds;

class Modes : public WrapperTest {};

TEST_F(Modes, JavaFirstRunLeavesFiveKeyTemplateAndEnds) {
  const std::string job = link(lullrun_path, "job");
  EXPECT_EQ(run_wrapper_process({.program = job}), 127);  // " -classpath . " cannot start
  EXPECT_EQ(read_file(folder_ / "job.properties"),
            "Java_Executable_Path=\nClass_path_to_use=\nClass_to_run=\nArgs_if_any=\n"
            "Java_run_minimized_no_focus=\n");
}

TEST_F(Modes, LullspawnFirstRunLeavesFourKeyTemplate) {
  const std::string job = link(lullspawn_path, "job");
  EXPECT_EQ(run_wrapper_process({.program = job}), 127);
  EXPECT_EQ(read_file(folder_ / "job.properties"),
            "Java_Executable_Path=\nClass_path_to_use=\nClass_to_run=\nArgs_if_any=\n");
}

TEST_F(Modes, JavaModeComposesAndSplitsTheCommandLine) {
  const std::string settings = "Java_Executable_Path=" + test_child_path +
                               "\nClass_path_to_use=lib/a.jar:lib/b.jar\nClass_to_run=org.Main\n"
                               "Args_if_any=\"two words\" 'it''s' back\\ slash $HOME *\n"
                               "Java_run_minimized_no_focus=TRUE\n";
  for (const std::string& program : {lullrun_path, lullspawn_path}) {
    SCOPED_TRACE(program);
    std::filesystem::remove_all(folder_ / "job");
    std::filesystem::remove(report_path());
    write_file(folder_ / "job.properties", settings);
    const std::string job = link(program, "job");
    EXPECT_EQ(run_wrapper_process({.program = job, .environment = {report_variable()}}), 0);
    const Report report = wait_for_report(report_path());
    EXPECT_EQ(
        values(report, "argv"),
        (std::vector<std::string>{test_child_path, "-classpath", "lib/a.jar:lib/b.jar", "org.Main",
                                  "two words", "its", "back slash", "$HOME", "*"}));
    EXPECT_EQ(read_file(folder_ / "job.properties"), settings);  // every key there: nothing added
  }
}

TEST_F(Modes, JavaModeWithEmptyClassPathUsesDot) {
  write_file(folder_ / "job.properties",
             "Java_Executable_Path=" + test_child_path + "\nClass_to_run=Main\n");
  const std::string job = link(lullrun_path, "job");
  EXPECT_EQ(run_wrapper_process({.program = job, .environment = {report_variable()}}), 0);
  EXPECT_EQ(values(wait_for_report(report_path()), "argv"),
            (std::vector<std::string>{test_child_path, "-classpath", ".", "Main"}));
  EXPECT_EQ(read_file(folder_ / "job.properties"),
            "Java_Executable_Path=" + test_child_path +
                "\nClass_to_run=Main\nClass_path_to_use=\nArgs_if_any=\n"
                "Java_run_minimized_no_focus=\n");
}

TEST_F(Modes, PassThroughHandsOverEveryArgumentUnchanged) {
  const std::vector<std::string> arguments{"two words", "",     "$HOME",     "*",
                                           "'quoted'",  "a\\b", "-classpath"};
  std::vector<std::string> command{test_child_path};
  command.insert(command.end(), arguments.begin(), arguments.end());
  const std::string job = link(lullrun_path, "job");
  EXPECT_EQ(run_wrapper_process(
                {.program = job, .arguments = command, .environment = {report_variable()}}),
            0);
  EXPECT_EQ(values(wait_for_report(report_path()), "argv"), command);
}

TEST_F(Modes, PassThroughReadsOnlyItsOwnKey) {
  const std::string job = link(lullrun_path, "job");
  EXPECT_EQ(run_wrapper_process({.program = job, .arguments = {"true"}}), 0);
  EXPECT_EQ(read_file(folder_ / "job.properties"), "Extern_run_minimized_no_focus=\n");
}

TEST_F(Modes, LullspawnPassThroughLeavesNoSettingsFile) {
  const std::string job = link(lullspawn_path, "job");
  EXPECT_EQ(run_wrapper_process({.program = job, .arguments = {"true"}}), 0);
  EXPECT_FALSE(std::filesystem::exists(folder_ / "job.properties"));
}

TEST_F(Modes, JavaChildFolderDependsOnTheProgram) {
  std::filesystem::create_directory(folder_ / "elsewhere");
  write_file(folder_ / "job.properties", "Java_Executable_Path=" + test_child_path + "\n");
  const std::string elsewhere = folder_ / "elsewhere";
  const std::string program_folder = folder_.path().string();
  // lullrun's child keeps the caller's folder; lullspawn's runs in its own.
  for (const auto& [program, expected] :
       {std::pair{lullrun_path, elsewhere}, std::pair{lullspawn_path, program_folder}}) {
    std::filesystem::remove(folder_ / "job");
    std::filesystem::remove(report_path());
    const std::string job = link(program, "job");
    EXPECT_EQ(run_wrapper_process(
                  {.program = job, .folder = elsewhere, .environment = {report_variable()}}),
              0);
    EXPECT_EQ(values(wait_for_report(report_path()), "cwd"), std::vector<std::string>{expected});
  }
  // Pass-through: both keep the caller's folder.
  std::filesystem::remove(report_path());
  EXPECT_EQ(run_wrapper_process({.program = folder_ / "job",
                                 .arguments = {test_child_path},
                                 .folder = elsewhere,
                                 .environment = {report_variable()}}),
            0);
  EXPECT_EQ(values(wait_for_report(report_path()), "cwd"), std::vector<std::string>{elsewhere});
}

}  // namespace
}  // namespace lull::testing
