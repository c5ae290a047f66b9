// A long fill: its progress shows on standard error when that is a
// terminal, and nothing is added anywhere else. The worker is held still
// for 3 seconds in the middle of its fill, so that the fill lasts longer
// than the 2 seconds after which the progress shows.
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "inject.h"
#include "program.h"

namespace e2e {
namespace {

// 1 GiB: a fill that takes long enough to be caught in the middle.
const char* kSize = "1024";

// The thread of that name of a process; 0 when none (yet).
pid_t threadNamed(pid_t pid, const std::string& name) {
  std::error_code error;
  for (const auto& task : std::filesystem::directory_iterator(proc(pid, "task"), error)) {
    std::ifstream comm(task.path() / "comm");
    std::string line;
    if (std::getline(comm, line) && line == name) return std::stoi(task.path().filename().string());
  }
  return 0;
}

// The first child of a process: kelvaring under script.
pid_t childOf(pid_t parent) {
  std::ifstream children(proc(parent, "task/" + std::to_string(parent) + "/children"));
  pid_t child = 0;
  children >> child;
  return child;
}

// Holds the worker of `pid` for 3 seconds of its fill; false when the fill
// had ended before it could be held (the allocation line was out).
bool holdTheFill(pid_t pid, Process& watched) {
  pid_t worker = 0;
  for (int i = 0; i < 5000 && worker == 0; ++i) {
    worker = threadNamed(pid, "worker");
    if (worker == 0) usleep(1000);
  }
  if (worker == 0) return false;
  ThreadHold hold(worker);
  if (!hold.holding() || watched.out().find("allocated") != std::string::npos) return false;
  std::this_thread::sleep_for(Millis(3000));
  return watched.out().find("allocated") == std::string::npos;
}

TEST(LongFill, StandardErrorInAPipeGetsNothing) {
  Program run({.args = {kSize}});
  if (!holdTheFill(run.process().pid(), run.process())) GTEST_SKIP() << "the fill ended before it could be held";
  run.expectOut(kAllocationLine);
  run.stop(SIGINT);
  EXPECT_EQ(run.err(), "");
}

TEST(LongFill, TerminalShowsTheFillAndErasesIt) {
  if (access("/usr/bin/script", X_OK) != 0) GTEST_SKIP() << "script is not installed";
  TempDir dir;
  std::string copy = dir.copy_executable(kExecutable, "kelvaring");
  Process run(Options{.path = "/usr/bin/script",
                      .argv = {"script", "-qfec", "exec " + copy + " " + kSize, "/dev/null"},
                      .cwd = dir.path()});
  pid_t kelvaring = 0;
  for (int i = 0; i < 5000 && (kelvaring = childOf(run.pid())) == 0; ++i) usleep(1000);
  ASSERT_GT(kelvaring, 0);
  const bool held = holdTheFill(kelvaring, run);
  // Standard output and error share the terminal: the line is rewritten,
  // then blanked whole, and the allocation line starts where it stood.
  Match shown = run.wait_for_regex(Channel::kOut, std::regex(R"((\rFilling: \d+ %)+\r {14}\r1024 Mb allocated )"));
  kill(kelvaring, SIGINT);
  run.wait_exit();
  if (!held) GTEST_SKIP() << "the fill ended before it could be held";
  EXPECT_TRUE(shown) << shown.text;
}

}  // namespace
}  // namespace e2e
