// The Windows build's real kelvaring.exe under Wine, driven from Linux as
// the other end-to-end tests drive the Linux build: a Wine process is a
// Linux process, so its signals, its threads and its memory (through
// /proc/PID/mem) are reached the same way.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <vector>

#include <gtest/gtest.h>

#include "engine/engine.h"
#include "inject.h"
#include "program.h"
#include "random/subtractive_random.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using kelvaring::SubtractiveRandom;

// The notice text the Windows x86-64 build names its platform with.
constexpr const char* kWindowsNotice = "RAM checker for Windows (x64)";

// The copy is run by the script that sets up the Wine prefix.
Options underWine(Options launch) {
  launch.name = "kelvaring.exe";
  launch.wrapper = {KELVARING_WINE_RUN};
  return launch;
}

std::vector<uint32_t> readWords(pid_t pid, uint64_t address, size_t count) {
  std::vector<uint32_t> words(count);
  int fd = open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY);
  size_t bytes = count * 4;
  ssize_t n = fd < 0 ? -1 : pread(fd, words.data(), bytes, static_cast<off_t>(address));
  if (fd >= 0) close(fd);
  if (n != static_cast<ssize_t>(bytes)) words.clear();
  return words;
}

TEST(WineRun, BannerNamesWindowsAndUsageTheExecutable) {
  Program run(underWine({.args = {"4"}}));
  run.expectOut(std::string(R"(^\nKelvaring - build [A-Z][a-z]{2} [ 0-9]\d \d{4} \(beta\), RAM checker for Windows \(x64\)\n)"
                            R"(Usage: kelvaring \[megabytes\]\n\n)") + kAllocationLine + R"(\r\d+ cycles)",
                Millis(30000));
  EXPECT_TRUE(run.stop(SIGINT).exited_with(0)) << run.out();
}

// With the worker pausing for good after its first cycle, both buffers hold
// what one cycle of the generator seeded at the start second writes: the
// generator's reference, run here on the Linux side.
TEST(WineRun, OneCycleLeavesWhatTheGeneratorGivesAndCtrlCEndsTheRun) {
  const uint32_t before = static_cast<uint32_t>(std::time(nullptr));
  Program run(underWine({.args = {"16"}, .settings = "[tweak]\ntimeout=-1\n"}));
  uint64_t a = 0, b = 0;
  run.bufferAddresses(a, b);
  const uint32_t after = static_cast<uint32_t>(std::time(nullptr));
  ASSERT_NE(b, 0u);
  ASSERT_TRUE(run.expectOut(R"(\r1 cycles, )", Millis(30000)));
  const size_t words = (16u << 20) / 8;
  std::vector<uint32_t> bufferA = readWords(run.process().pid(), a, words);
  std::vector<uint32_t> bufferB = readWords(run.process().pid(), b, words);
  ASSERT_EQ(bufferA.size(), words);
  EXPECT_EQ(bufferA, bufferB);
  bool matched = false;
  for (uint32_t second = before; second <= after && !matched; ++second) {
    SubtractiveRandom g;
    kelvaring::seedGenerator(g, second, kWindowsNotice);
    std::vector<uint32_t> model(words, kelvaring::kFillWord);
    for (uint32_t op = 0; op < kelvaring::kShortCycleOps; ++op) {
      uint64_t index = kelvaring::nextRandom(g) % words;
      model[index] = kelvaring::nextRandom(g);
    }
    matched = model == bufferA;
  }
  EXPECT_TRUE(matched) << "no start second from " << before << " to " << after << " gives buffer A";
  ExitStatus status = run.stop(SIGINT);
  EXPECT_TRUE(status.exited_with(0)) << status;
  EXPECT_TRUE(std::regex_search(run.out(), std::regex(R"(\nStop signaled\. Terminating\.\.\.\n\rErrors 0, cycles 1, \(\d+% coverage\) {10}\n$)")))
      << run.out();
}

TEST(WineRun, WordFlippedFromOutsideIsReported) {
  Program run(underWine({.args = {"1"}}));
  uint64_t a = 0, b = 0;
  run.bufferAddresses(a, b);
  ASSERT_NE(b, 0u);
  run.expectOut(R"(\r\d+ cycles)");
  ASSERT_TRUE(run.flipInB(100, 1u << 7));
  run.expectOut(R"(\rError 1, out of \d+ cycles, \(\d+% coverage\) {8}\n)", Millis(1500));
  EXPECT_TRUE(run.stop(SIGINT).exited_with(1));
}

// A Linux parent sees the low byte of the exit code, 5 of c0000005. Only
// the worker, which runs the program's own code: the main thread waits
// inside Wine's Unix side, where a fault made from outside is Wine's own
// and hangs the process. The death tests of the Windows build show the
// main thread's faults.
TEST(WineRun, FaultOnTheWorkerGivesTheFaultLine) {
  Program run(underWine({.args = {"8"}}));
  run.expectOut(R"(\r\d+ cycles)");
  // Wine gives the Linux thread the Windows thread's description.
  pid_t tid = 0;
  for (int i = 0; i < 200 && tid == 0; ++i, usleep(10000)) tid = run.thread("worker");
  ASSERT_NE(tid, 0) << "no thread named worker";
  ASSERT_TRUE(injectCallToNull(tid));
  ExitStatus status = run.process().wait_exit();
  EXPECT_TRUE(status.exited_with(5)) << status << "\n" << run.out();
  EXPECT_TRUE(std::regex_search(run.out(), std::regex(R"(Exception code = c0000005 \(write to address 0{16}\)\n$)")))
      << run.out();
  EXPECT_EQ(run.out().find("Errors "), std::string::npos) << run.out();
}

// The settings file beside the executable, in a folder whose path is long
// and not ASCII.
TEST(WineRun, SettingsBesideTheExecutableInALongNonAsciiFolder) {
  TempDir dir;
  std::string folder = dir.path() + "/\xce\xbc\xce\xbd\xce\xae\xce\xbc\xce\xb7-\xe6\xa4\x9c\xe6\x9f\xbb";
  for (int i = 0; i < 3; ++i) folder += "/" + std::string(90, static_cast<char>('a' + i));
  fs::create_directories(folder);
  fs::copy_file(KELVARING_EXECUTABLE, folder + "/kelvaring.exe");
  {
    std::ofstream ini(folder + "/kelvaring.ini");
    ini << "[tweak]\nverbose=1\nprocess=above\n";
  }
  Options options(KELVARING_WINE_RUN, {KELVARING_WINE_RUN, folder + "/kelvaring.exe", "2"}, folder);
  Process run(options);
  Match m = run.wait_for_regex(Channel::kOut,
                               std::regex(R"(Usage: kelvaring \[megabytes\]\n\nABOVE_NORMAL_PRIORITY_CLASS in use\.\n)"
                                          R"([^]*Buffers (not )?locked in RAM\.\nECC counts not watched\.\n)"),
                               Millis(30000));
  EXPECT_TRUE(m) << m.text;
  run.send_signal(SIGINT);
  EXPECT_TRUE(run.wait_exit().exited_with(0));
}

}  // namespace
}  // namespace e2e
