// The settings file beside the executable, seen from outside.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include <gtest/gtest.h>

#include "program.h"

namespace e2e {
namespace {

const char* kTime = R"(\d\d:\d\d:\d\d)";

TEST(SettingsFile, OnlyTheFileBesideTheExecutableIsRead) {
  // A settings file in the working folder is not the executable's.
  Program run({.args = {"8"}, .workingDir = "elsewhere", .files = {{"elsewhere/kelvaring.ini", "[tweak]\nverbose=1\n"}}});
  run.expectOut(R"(\r\d+ cycles)");
  run.stop(SIGINT);
  EXPECT_EQ(run.out().find("Started"), std::string::npos) << run.out();
}

TEST(SettingsFile, RenamedExecutableReadsFileOfItsNewName) {
  Program run({.args = {"8"},
               .name = "probe2",
               .settings = "[TWEAK]\nVerbose = 1\n",
               .files = {{"kelvaring.ini", "[tweak]\nconsole=1\n"}}});
  run.expectOut(std::string(R"(Usage: probe2 \[megabytes\]\n\n8 Mb allocated [^\n]*\nBuffers (not )?locked in RAM\.\nECC counts (not )?watched\.\n)"
                            R"(Started )") +
                kTime + "\n");
  ExitStatus status = run.stop(SIGINT);
  EXPECT_TRUE(status.exited_with(0)) << status;
  EXPECT_TRUE(std::regex_search(run.out(), std::regex(std::string(R"(\rPASS: no errors found in \d+:\d\d:\d\d {10}\n)"
                                                                  R"(\rErrors 0[^\n]*\nFinished )") +
                                                      kTime + "\n$")))
      << run.out();
  EXPECT_EQ(run.out().find("new console"), std::string::npos);
}

TEST(SettingsFile, StartLinesInOrder) {
  Program run({.args = {"8"},
               .settings = "[tweak]\nthread=below\nconsole=1\nprocess=above\ntopmem=1\nverbose=1\n"});
  run.expectOut(std::string(R"(\[megabytes\]\n\nnew console created\.\n)"
                            R"(ABOVE_NORMAL_PRIORITY_CLASS in use\.\nTHREAD_PRIORITY_BELOW_NORMAL in use\.\n)"
                            R"(MEM_TOP_DOWN in use\.\n8 Mb allocated \([0-9A-F]{16}/[0-9A-F]{16}\)\n)"
                            R"(Buffers (not )?locked in RAM\.\nECC counts (not )?watched\.\nStarted )") +
                kTime + "\n");
  run.stop(SIGINT);
}

// The physical address of a word of another process, from its page map;
// 0 where the frame number is not visible.
std::uint64_t physicalAddress(pid_t pid, std::uint64_t address) {
  // Read one entry exactly: the page map takes reads of whole entries only.
  int pagemap = open(proc(pid, "pagemap").c_str(), O_RDONLY);
  std::uint64_t entry = 0;
  if (pagemap >= 0 && pread(pagemap, &entry, sizeof entry, static_cast<off_t>(address / 4096 * 8)) != sizeof entry)
    entry = 0;
  if (pagemap >= 0) close(pagemap);
  const std::uint64_t frame = entry & ((std::uint64_t{1} << 55) - 1);
  return frame == 0 ? 0 : frame * 4096 + address % 4096;
}

// The detail line names the flipped word, and the location line its
// physical place (as root) and exactly the flipped bits. Without privilege
// the physical addresses are unknown.
TEST(SettingsFile, VerboseDetailAndLocationNameTheFlippedWord) {
  for (bool privileged : {true, false}) {
    SCOPED_TRACE(privileged ? "privileged" : "unprivileged");
    if (privileged != (geteuid() == 0) && (geteuid() != 0 || access(kAsNobody[0].c_str(), X_OK) != 0)) {
      std::printf("skipped: %s run: %s\n", privileged ? "privileged" : "unprivileged",
                  privileged ? "needs root" : "setpriv is not installed");
      continue;
    }
    // 64 MiB: a word is rewritten only every few cycles, so the flipped
    // value is still the one found. The test reads the pages as root.
    Program run({.args = {"64"},
                 .settings = "[tweak]\nverbose=1\n",
                 // Already unprivileged, the test runs the program as it is.
                 .wrapper = privileged || geteuid() != 0 ? std::vector<std::string>{} : kAsNobody,
                 .openToAll = !privileged});
    std::uint64_t a, b;
    run.bufferAddresses(a, b);
    run.expectOut(R"(\r\d+ cycles)");
    const std::uint64_t first = 4096;
    for (std::uint64_t i = first; i < first + 64; ++i) ASSERT_TRUE(run.flipInB(i, 0x00010000));
    Match m = run.expectOut(std::string(R"(\rError 1, [^\n]*\n\[([0-9A-F]{16})\]=([0-9a-f]{8}) vs )"
                                        R"(\[([0-9A-F]{16})\]=([0-9a-f]{8}), )") +
                                kTime + R"(\nPhysical \[([0-9A-F]{16}|unknown)\] vs \[([0-9A-F]{16}|unknown)\], )"
                                        R"(failing bits ([0-9a-f]{8})\n)",
                            Millis(5000));
    ASSERT_TRUE(m);
    std::uint64_t addressA = *parse_hex_address(m.groups[1]);
    std::uint64_t addressB = *parse_hex_address(m.groups[3]);
    pid_t pid = run.process().pid();
    if (privileged) {
      EXPECT_EQ(parse_hex_address(m.groups[5]), physicalAddress(pid, addressA));
      EXPECT_EQ(parse_hex_address(m.groups[6]), physicalAddress(pid, addressB));
    } else {
      EXPECT_EQ(m.groups[5], "unknown");
      EXPECT_EQ(m.groups[6], "unknown");
    }
    run.stop(SIGINT);
    EXPECT_GE(addressB, b + 4 * first);
    EXPECT_LT(addressB, b + 4 * (first + 64));
    EXPECT_EQ(addressA - a, addressB - b);
    EXPECT_EQ(std::stoul(m.groups[2], nullptr, 16) ^ std::stoul(m.groups[4], nullptr, 16), 0x00010000u);
    EXPECT_EQ(m.groups[7], "00010000");
  }
}

TEST(SettingsFile, ErrorLimitMinusOneNeverStops) {
  Program run({.args = {"1"}, .settings = "[tweak]\nerrmax=-1\n"});
  std::uint64_t a, b;
  run.bufferAddresses(a, b);
  for (int report = 1; report <= 2; ++report) {
    run.flipInB(9, 4);
    run.expectOut("Error " + std::to_string(report) + ", out of", Millis(2000));
  }
  EXPECT_TRUE(run.process().running());
  EXPECT_TRUE(run.stop(SIGINT).exited_with(1));
}

// Samples buffer A of a 1 MiB run after a mismatch in bit 8.
int wordsWithBit(Program& run, std::uint64_t a, std::uint32_t bit) {
  int with = 0;
  for (std::uint64_t i = 0; i < 1024; ++i) with += (read_u32(run.process().pid(), a + 4 * 128 * i).value_or(0) & bit) != 0;
  return with;
}

TEST(SettingsFile, MethodOneCarriesTheFailingBitIntoEveryWrite) {
  for (int method : {1, 0, 2}) {
    SCOPED_TRACE(method);
    Program run({.args = {"1"}, .settings = "[tweak]\nmethod=" + std::to_string(method) + "\n"});
    std::uint64_t a, b;
    run.bufferAddresses(a, b);
    run.flipInB(5, 0x100);
    // Two polls later every word has been rewritten many times over.
    ASSERT_TRUE(run.expectOut(R"(\rError 1, [^\n]*\n(\r\d+ cycles[^\r]*){2})", Millis(3000)));
    int with = wordsWithBit(run, a, 0x100);
    run.stop(SIGINT);
    if (method == 1)
      EXPECT_EQ(with, 1024);
    else
      EXPECT_LT(with, 1024 * 3 / 4);
  }
}

TEST(SettingsFile, PauseAfterEveryCycle) {
  Program run({.args = {"8"}, .settings = "[tweak]\ntimeout=1000\n"});
  run.expectOut(R"(\r1 cycles, )");
  // Four polls later no more than three cycles can have run.
  Match m = run.expectOut(R"((\r(\d+) cycles[^\r]*){5}$)");
  run.stop(SIGINT);
  ASSERT_TRUE(m);
  EXPECT_LE(std::stoi(m.groups[2]), 3);
}

// Whether a process started from here may lower its nice value by 16 (root,
// CAP_SYS_NICE or RLIMIT_NICE). Tried in a child, so that this one keeps its own.
bool mayRaisePriority() {
  pid_t child = fork();
  if (child == 0) _exit(setpriority(PRIO_PROCESS, 0, getpriority(PRIO_PROCESS, 0) - 16) == 0 ? 0 : 1);
  int status = 0;
  return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The program's nice values are relative to the one it starts with.
int startNice() { return getpriority(PRIO_PROCESS, 0); }

TEST(SettingsFile, PrioritiesInEffectWherePermitted) {
  if (!mayRaisePriority()) GTEST_SKIP() << "raising priorities needs root or CAP_SYS_NICE";
  Program run({.args = {"8"}, .settings = "[tweak]\nprocess=high\nthread=high\n"});
  run.expectOut(R"(\r\d+ cycles)");
  pid_t worker = run.thread("worker");
  ASSERT_NE(worker, 0);
  EXPECT_EQ(run.process().nice_of(run.process().pid()), startNice() - 10);
  EXPECT_EQ(run.process().nice_of(run.thread("stop-control")), startNice() - 10);
  EXPECT_EQ(run.process().nice_of(worker), startNice() - 16);
  EXPECT_TRUE(run.stop(SIGINT).exited_with(0));
}

TEST(SettingsFile, PrioritiesSilentlyAbsentWithoutPrivilege) {
  std::vector<std::string> wrapper;
  if (mayRaisePriority()) {
    // A privileged test runs the program as nobody.
    if (geteuid() != 0) GTEST_SKIP() << "may raise priorities, but cannot run the program as another user";
    if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv is not installed";
    wrapper = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  }
  Program run({.args = {"8"},
               .settings = "[tweak]\nprocess=high\nthread=below\n",
               .wrapper = wrapper,
               .openToAll = !wrapper.empty()});
  Match m = run.expectOut(R"(\r\d+ cycles)");
  pid_t worker = run.thread("worker");
  if (m && worker != 0) {
    EXPECT_EQ(run.process().nice_of(run.process().pid()), startNice());
    EXPECT_EQ(run.process().nice_of(worker), std::min(startNice() + 3, 19));
  }
  EXPECT_TRUE(run.stop(SIGINT).exited_with(0)) << run.err();
}

}  // namespace
}  // namespace e2e

namespace e2e {
namespace {

TEST(SettingsFile, PathsLongerThan260CharactersWork) {
  TempDir dir;
  std::string folder;
  for (int level = 0; level < 6; ++level) folder += (folder.empty() ? "" : "/") + std::string(50, 'a' + level);
  std::filesystem::create_directories(dir.file(folder));
  std::string copy = dir.copy_executable(kExecutable, folder + "/kelvaring");
  dir.write_file(folder + "/kelvaring.ini", "[tweak]\nverbose=1\n");
  ASSERT_GT(copy.size(), 300u);
  Process run(Options{.path = copy, .argv = {copy, "8"}, .cwd = dir.path()});
  Match started = run.wait_for_regex(Channel::kOut, std::regex("\nStarted "));
  EXPECT_TRUE(started) << started.text;
  run.send_signal(SIGINT);
  EXPECT_TRUE(run.wait_exit().exited_with(0));
}

}  // namespace
}  // namespace e2e
