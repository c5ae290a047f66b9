// What only a terminal gets: the title and the bell. The run goes through
// script(1), which gives it a pseudo-terminal and copies what it shows.
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "program.h"

namespace e2e {
namespace {

// The first child of a process: kelvaring under script.
pid_t childOf(pid_t parent) {
  std::ifstream children(proc(parent, "task/" + std::to_string(parent) + "/children"));
  pid_t child = 0;
  children >> child;
  return child;
}

std::string executableOf(pid_t pid) {
  std::error_code error;
  return std::filesystem::read_symlink(proc(pid, "exe"), error).string();
}

TEST(Terminal, TitleAndBellOnErrorReports) {
  if (access("/usr/bin/script", X_OK) != 0) GTEST_SKIP() << "script is not installed";
  TempDir dir;
  std::string copy = dir.copy_executable(kExecutable, "kelvaring");
  dir.write_file("kelvaring.ini", "[tweak]\nsignal=1\n");
  Process run(Options{.path = "/usr/bin/script", .argv = {"script", "-qfec", "exec " + copy + " 1", "/dev/null"}, .cwd = dir.path()});
  Match allocated = run.wait_for_regex(Channel::kOut, std::regex(R"(allocated \(([0-9A-F]{16})/([0-9A-F]{16})\))"));
  ASSERT_TRUE(allocated) << allocated.text;
  pid_t kelvaring = childOf(run.pid());
  ASSERT_GT(kelvaring, 0);
  // script starts the command through "$SHELL -c"; the exec keeps a shell
  // such as dash from staying in between as the child.
  ASSERT_EQ(executableOf(kelvaring), std::filesystem::canonical(copy).string());
  EXPECT_NE(allocated.text.find("\033]0;Kelvaring\007"), std::string::npos);

  std::uint64_t b = *parse_hex_address(allocated.groups[2]);
  ASSERT_TRUE(flip_u32(kelvaring, b + 40, 2));

  Match report = run.wait_for_regex(Channel::kOut, std::regex("Error 1, [^\n]*\n[^\a]*\033\\]0;Kelvaring - 1 errors\a"
                                                              "[^\a]*\a"));
  EXPECT_TRUE(report) << report.text;
  kill(kelvaring, SIGINT);
  EXPECT_TRUE(run.wait_exit().exited_with(1));
}

}  // namespace
}  // namespace e2e
