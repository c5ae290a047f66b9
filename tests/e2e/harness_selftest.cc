// Checks the harness itself on ordinary programs, so a failing end-to-end
// test points at the program under test rather than at the plumbing.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "harness.h"

namespace e2e {
namespace {

Options shell(const std::string& script) { return Options("/bin/sh", {"sh", "-c", script}); }

TEST(HarnessProcess, PipeOutputThenSigterm) {
  Process p(shell("echo hello; exec sleep 30"));
  Match m = p.wait_for_regex(Channel::kOut, std::regex("hel+o"), Millis(5000));
  ASSERT_TRUE(m) << m.text;
  EXPECT_EQ(m.groups[0], "hello");
  EXPECT_EQ(p.threads(), std::vector<pid_t>{p.pid()});
  EXPECT_EQ(p.nice_of(p.pid()), getpriority(PRIO_PROCESS, 0));
  ASSERT_TRUE(p.send_signal(SIGTERM));
  ExitStatus s = p.wait_exit(Millis(5000));
  EXPECT_TRUE(s.killed_by(SIGTERM)) << s;
}

TEST(HarnessProcess, FileOutputExitStatusAndTimeout) {
  TempDir dir;
  Options o = shell("echo hello; echo oops >&2; exit 3");
  o.out = o.err = Redirect::to_file(dir.file("both.txt"));
  Process p(o);
  EXPECT_TRUE(p.wait_for_text(Channel::kOut, "oops", Millis(5000))) << p.out();
  ExitStatus s = p.wait_exit(Millis(5000));
  EXPECT_TRUE(s.exited_with(3)) << s;
  EXPECT_EQ(dir.read_file("both.txt"), "hello\noops\n");

  Process sleeper(Options("/bin/sleep", {"sleep", "30"}));
  ExitStatus late = sleeper.wait_exit(Millis(100));
  EXPECT_TRUE(late.timed_out && late.signal == SIGKILL) << late;
}

TEST(HarnessProcess, StdinPipeEchoedByCat) {
  Options o("/bin/cat", {"cat"});
  o.stdin_pipe = true;
  Process p(o);
  ASSERT_TRUE(p.write_stdin("ping\n"));
  EXPECT_TRUE(p.wait_for_text(Channel::kOut, "ping\n", Millis(5000))) << p.out();
  p.close_stdin();
  EXPECT_TRUE(p.wait_exit(Millis(5000)).exited_with(0));
  EXPECT_EQ(p.out(), "ping\n");
}

TEST(HarnessTempDir, CopiedProgramReadsFileBesideIt) {
  std::string path;
  {
    TempDir dir;
    path = dir.path();
    std::string copy = dir.copy_executable("/bin/sh", "renamed-shell");
    dir.write_file("settings.conf", "answer=42\n");
    dir.make_dir("sub");
    dir.make_symlink("../settings.conf", "sub/link.conf");
    Process p(Options(copy, {"other-name", "-c", "cat sub/link.conf"}, dir.path()));
    EXPECT_TRUE(p.wait_exit(Millis(5000)).exited_with(0)) << p.err();
    EXPECT_EQ(p.out(), "answer=42\n");
  }
  EXPECT_FALSE(std::filesystem::exists(path));
}

// The forked child polls this; the test changes it through /proc/PID/mem.
volatile std::uint32_t g_flag = 0x1111;
constexpr std::uint32_t kMagic = 0xC0FFEE42;

TEST(HarnessMemory, WriteThroughProcMemReachesChild) {
  auto child = Process::fork_running([] {
    for (int i = 0; i < 5000; ++i) {  // about 5 s
      if (g_flag == kMagic) return 0;
      usleep(1000);
    }
    return 1;
  });
  auto address = reinterpret_cast<std::uint64_t>(&g_flag);  // same in the fork
  EXPECT_EQ(child->read_u32(address), 0x1111u);
  ASSERT_TRUE(child->write_u32(address, kMagic));
  ExitStatus s = child->wait_exit(Millis(10000));
  EXPECT_TRUE(s.exited_with(0)) << s;
}

TEST(HarnessParse, HexAddress) {
  EXPECT_EQ(parse_hex_address("00007FFF0000ABCD"), 0x00007FFF0000ABCDull);
  EXPECT_EQ(parse_hex_address("00007fff0000abcd"), std::nullopt);
  EXPECT_EQ(parse_hex_address("7FFF"), std::nullopt);
}

}  // namespace
}  // namespace e2e
