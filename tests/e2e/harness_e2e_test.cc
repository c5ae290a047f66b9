// Checks the harness itself on ordinary programs, so a failing end-to-end
// test points at the program under test rather than at the plumbing.
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <stdexcept>

#include <gtest/gtest.h>

#include "harness.h"

namespace e2e {
namespace {

Options shell(const std::string& script) { return Options{.path = "/bin/sh", .argv = {"sh", "-c", script}}; }

TEST(HarnessProcess, PipeOutputThenSigterm) {
  // Blocked in the test, the signal must still reach the child.
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &term, nullptr);
  Process p(shell("echo hello; exec sleep 30"));
  pthread_sigmask(SIG_UNBLOCK, &term, nullptr);
  Match m = p.wait_for_regex(Channel::kOut, std::regex("hel+o"), Millis(5000));
  ASSERT_TRUE(m) << m.text;
  EXPECT_EQ(m.groups[0], "hello");
  EXPECT_EQ(p.threads(), std::vector<pid_t>{p.pid()});
  EXPECT_EQ(p.nice_of(p.pid()), getpriority(PRIO_PROCESS, 0));
  ASSERT_TRUE(p.send_signal(SIGTERM));
  ExitStatus s = p.wait_exit(Millis(5000));
  EXPECT_TRUE(s.killed_by(SIGTERM)) << s;
  EXPECT_FALSE(p.send_signal(SIGTERM));
}

TEST(HarnessProcess, FileOutputExitStatusAndTimeout) {
  TempDir dir;
  Options o = shell("echo hello; echo oops >&2; exit 3");
  o.out = o.err = Redirect::to_file(dir.file("both.txt"));
  Process p(o);
  EXPECT_TRUE(p.wait_for_regex(Channel::kErr, std::regex("oops"), Millis(5000))) << p.err();
  ExitStatus s = p.wait_exit(Millis(5000));
  EXPECT_TRUE(s.exited_with(3)) << s;
  EXPECT_EQ(dir.read_file("both.txt"), "hello\noops\n");

  Process sleeper(Options{.path = "/bin/sleep", .argv = {"sleep", "30"}});
  ExitStatus late = sleeper.wait_exit(Millis(100));
  EXPECT_TRUE(late.timed_out && late.signal == SIGKILL) << late;
  EXPECT_THROW(Process(Options{.path = dir.file("missing"), .argv = {"missing"}}), std::runtime_error);
}

TEST(HarnessTempDir, CopiedProgramRunsInItsFolder) {
  std::string path;
  {
    TempDir dir;
    path = dir.path();
    std::string copy = dir.copy_executable("/bin/sh", "renamed-shell");
    dir.make_dir("sub");
    dir.write_file("sub/settings.conf", "answer=42\n");
    Process p(Options{.path = copy, .argv = {"other-name", "-c", "cat sub/settings.conf"}, .cwd = dir.path()});
    EXPECT_TRUE(p.wait_exit(Millis(5000)).exited_with(0)) << p.err();
    EXPECT_EQ(p.out(), "answer=42\n");
  }
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(HarnessParse, HexAddress) {
  EXPECT_EQ(parse_hex_address("00007FFF0000ABCD"), 0x00007FFF0000ABCDull);
  EXPECT_EQ(parse_hex_address("00007fff0000abcd"), std::nullopt);
  EXPECT_EQ(parse_hex_address("7FFF"), std::nullopt);
}

}  // namespace
}  // namespace e2e
