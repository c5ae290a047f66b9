// A run of the real executable from start to summary.
#include <signal.h>

#include <algorithm>
#include <chrono>

#include <gtest/gtest.h>

#include "inject.h"
#include "program.h"

namespace e2e {
namespace {

const std::string kBanner = R"(^\nKelvaring - build [A-Z][a-z]{2} [ 0-9]\d \d{4} \(beta\), .{29}\nUsage: )";

TEST(RunOutput, BannerUsageAllocationProgressAndSummary) {
  for (bool toFile : {false, true}) {
    SCOPED_TRACE(toFile ? "output to a file" : "output to a pipe");
    Program run({.args = {"16"}, .name = "probe.bin", .toFile = toFile});
    // Four polls show the whole spinner cycle.
    run.expectOut(R"((\r\d+ cycles, \(\d+% coverage\) [.: ] {6}){4})");
    ExitStatus status = run.stop(SIGINT);
    EXPECT_TRUE(status.exited_with(0)) << status;
    std::string out = toFile ? run.dir().read_file("out.txt") : run.out();
    std::smatch m;
    ASSERT_TRUE(std::regex_search(out, m, std::regex(kBanner + R"(probe \[megabytes\]\n\n)" + kAllocationLine +
                                                     R"((\r\d+ cycles, \(\d+% coverage\) ([.: ]) {6})+)"
                                                     R"(\nStop signaled\. Terminating\.\.\.\n)"
                                                     // Polls go on until the cycle under way has ended.
                                                     R"((\r\d+ cycles, \(\d+% coverage\) [.: ] {6})*)"
                                                     R"(\rErrors 0, cycles \d+, \(\d+% coverage\) {10}\n$)")))
        << out;
    EXPECT_EQ(m[1], "16");
    std::string spinners;
    std::regex progress(R"(\r\d+ cycles, \(\d+% coverage\) ([.: ]) {6})");
    for (std::sregex_iterator i(out.begin(), out.end(), progress), end; i != end; ++i) spinners += (*i)[1];
    ASSERT_GE(spinners.size(), 4u);
    EXPECT_EQ(spinners.substr(0, 4), ":. .");
    // Not a terminal: no title escapes and no bells in the output.
    EXPECT_EQ(out.find('\033'), std::string::npos);
  }
}

// progress=1: a line with a line end about every second and no "\r"
// anywhere, the stop notice and the summary included.
TEST(RunOutput, ProgressEveryNSecondsIntoAFile) {
  Program run({.args = {"16"}, .settings = "[tweak]\nprogress=1\n", .toFile = true});
  const std::string line = R"(\d+ cycles, \(\d+% coverage\)\n)";
  run.expectOut(kAllocationLine);
  const auto allocated = std::chrono::steady_clock::now();
  ASSERT_TRUE(run.expectOut(kAllocationLine + ("(" + line + "){4}"), Millis(20000)));
  // The fourth line comes 4 seconds after the monitor starts, which is
  // after the allocation line; a line every slice would take 2.
  EXPECT_GE(std::chrono::steady_clock::now() - allocated, Millis(3500));
  ExitStatus status = run.stop(SIGINT);
  EXPECT_TRUE(status.exited_with(0)) << status;
  const std::string out = run.dir().read_file("out.txt");
  EXPECT_EQ(out.find('\r'), std::string::npos) << out;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(out, m, std::regex(kBanner + R"(kelvaring \[megabytes\]\n\n)" + kAllocationLine + "((" +
                                                   line + ")+)" + R"(Stop signaled\. Terminating\.\.\.\n)" + "(" + line +
                                                   ")*" + R"(Errors 0, cycles \d+, \(\d+% coverage\)\n$)")))
      << out;
  const std::string lines = m[4];
  EXPECT_LE(std::count(lines.begin(), lines.end(), '\n'), 6) << out;
}

TEST(RunOutput, NonBlockingOutputLosesNoLine) {
  // Nothing is read for the first seconds, while the run writes far more
  // than the pipe holds: the pipe is full long before the summary.
  Program run({.args = {"1"}, .nonblockingOut = true, .outReadDelay = Millis(3000)});
  pid_t worker = 0;
  for (int i = 0; i < 1000 && (worker = run.thread("worker")) == 0; ++i) usleep(10000);
  ASSERT_NE(worker, 0);
  {
    // The worker held mid-cycle: every interrupt adds a stop notice.
    ThreadHold hold(worker);
    ASSERT_TRUE(hold.holding());
    for (int i = 0; i < 300; ++i) {
      run.process().send_signal(SIGINT);
      usleep(2000);
    }
  }
  ExitStatus status = run.process().wait_exit(Millis(30000));
  EXPECT_TRUE(status.exited_with(0)) << status;
  std::string out = run.out();
  EXPECT_GT(out.size(), 4096u) << out;
  EXPECT_TRUE(std::regex_search(out, std::regex(kBanner + R"(kelvaring \[megabytes\]\n\n)" + kAllocationLine +
                                                R"(((\r\d+ cycles, \(\d+% coverage\) [.: ] {6})|)"
                                                R"((\nStop signaled\. Terminating\.\.\.\n))+)"
                                                R"(\rErrors 0, cycles \d+, \(\d+% coverage\) {10}\n)"
                                                // The handler stays until the summary stands: a signal
                                                // still pending then may add its notice after it.
                                                R"((\nStop signaled\. Terminating\.\.\.\n)*$)")))
      << out;
}

TEST(RunVersion, QuestionEndsOnEndlessInput) {
  const char* setarch = "/usr/bin/setarch";
  if (access(setarch, X_OK) != 0) GTEST_SKIP() << "setarch is not installed; it makes the kernel look obsolete";
  // The kernel taken for 2.6; standard input gives zero bytes without end.
  Program run({.args = {"8"}, .wrapper = {setarch, "x86_64", "--uname-2.6"}, .input = "/dev/zero"});
  ExitStatus status = run.process().wait_exit(Millis(20000));
  if (run.err().starts_with("setarch:")) GTEST_SKIP() << "setarch cannot change the personality: " << run.err();
  EXPECT_TRUE(status.exited_with(255)) << status;
  EXPECT_EQ(run.err(), "Obsolete or unsupported OS version. Continue? (Y/N) ");
  EXPECT_EQ(run.out(), "");
}

TEST(RunOutput, CoverageFollowsCyclesAndOpsPerWord) {
  // 128 MiB: every cycle adds 0.625 per cent.
  Program run({.args = {"128"}});
  Match m = run.expectOut(R"(\r(\d+) cycles, \((\d+)% coverage\))");
  ASSERT_TRUE(m);
  int cycles = std::stoi(m.groups[1]);
  int shown = std::stoi(m.groups[2]);
  EXPECT_EQ(shown, static_cast<int>(cycles * 0.625 + 0.5)) << m.text;
  run.stop(SIGINT);
}

TEST(RunErrors, BitFlippedFromOutsideIsReportedWithinASecond) {
  // 1 MiB: every word is visited several times per cycle.
  Program run({.args = {"1"}});
  std::uint64_t a, b;
  run.bufferAddresses(a, b);
  ASSERT_NE(b, 0u);
  run.expectOut(R"(\r\d+ cycles)");
  ASSERT_TRUE(run.flipInB(100, 1u << 7));
  run.expectOut(R"(\rError 1, out of \d+ cycles, \(\d+% coverage\) {8}\n)", Millis(1500));
  ExitStatus status = run.stop(SIGINT);
  // An orderly end after error reports is not a success.
  EXPECT_TRUE(status.exited_with(1)) << status;
  EXPECT_TRUE(std::regex_search(run.out(), std::regex(R"(\rErrors [1-9]\d*, cycles \d+, \(\d+% coverage\) {10}\n$)")))
      << run.out();
}

class RunLimited : public ::testing::Test {
 protected:
  void SetUp() override {
    if (sanitizedBuild()) GTEST_SKIP() << "sanitizers reserve more address space than the limit";
  }
};

// Under a limit of 1 GiB of address space, the available memory of this
// machine cannot be mapped: an absent size argument shows as a failure.
TEST_F(RunLimited, AbsentSizeTakesAvailableMemory) {
  for (const char* arg : {"0", "-5", "+5", "abc", ""}) {
    SCOPED_TRACE(arg);
    Options launch{.args = {arg}, .addressSpaceLimit = std::uint64_t{1} << 30};
    if (*arg == '\0') launch.args.clear();
    Program run(launch);
    ExitStatus status = run.process().wait_exit();
    EXPECT_TRUE(status.exited_with(26)) << status;
    EXPECT_EQ(run.err(), "Memory allocation failed.\n");
    EXPECT_EQ(run.out().find("allocated"), std::string::npos) << run.out();
  }
}

TEST_F(RunLimited, AllocationFailureOfEitherBuffer) {
  // 2048 MiB asks for two buffers of 1 GiB: a limit of 512 MiB stops the
  // first, one of 1.5 GiB the second.
  for (std::uint64_t limit : {std::uint64_t{512} << 20, std::uint64_t{1536} << 20}) {
    SCOPED_TRACE(limit);
    Program run({.args = {"2048"}, .addressSpaceLimit = limit});
    ExitStatus status = run.process().wait_exit();
    EXPECT_TRUE(status.exited_with(26)) << status;
    EXPECT_EQ(run.err(), "Memory allocation failed.\n");
    EXPECT_TRUE(std::regex_search(run.out(), std::regex(kBanner + R"(kelvaring \[megabytes\]\n\n$)"))) << run.out();
  }
}

}  // namespace
}  // namespace e2e
