// Faults in the running executable: the fault line and the exit status.
#include <signal.h>
#include <unistd.h>

#include <fstream>

#include <gtest/gtest.h>

#include "../smaps.h"
#include "inject.h"
#include "program.h"

namespace e2e {
namespace {

const char* kNullCallLine = R"(Exception code = c0000005 \(write to address 0{16}\)\n$)";

TEST(FaultRun, CallToNullOnMainThreadEndsWithFaultLineAndStatus5) {
  Program run({.args = {"8"}});
  run.expectOut(R"(\r\d+ cycles)");
  // The main thread's id is the process id.
  ASSERT_TRUE(injectCallToNull(run.process().pid()));
  ExitStatus status = run.process().wait_exit();
  EXPECT_TRUE(status.exited_with(5)) << status << "\n" << run.out();
  // The line continues the unfinished progress line; no summary follows.
  EXPECT_TRUE(std::regex_search(run.out(), std::regex(std::string(R"(\r\d+ cycles, \(\d+% coverage\) [.: ] {6})") +
                                                      kNullCallLine)))
      << run.out();
  EXPECT_EQ(run.out().find("Errors "), std::string::npos);
}

// The other threads of the program print the fault line and end the
// process with the fault's status, without the summary.
TEST(FaultRun, CallToNullOnWorkerOrStopControlEndsWithoutSummary) {
  for (const char* thread : {"worker", "stop-control"}) {
    SCOPED_TRACE(thread);
    Program run({.args = {"8"}});
    run.expectOut(R"(\r\d+ cycles)");
    pid_t tid = run.thread(thread);
    ASSERT_NE(tid, 0);
    ASSERT_TRUE(injectCallToNull(tid));
    ExitStatus status = run.process().wait_exit();
    EXPECT_TRUE(status.exited_with(5)) << status << "\n" << run.out();
    EXPECT_TRUE(std::regex_search(run.out(), std::regex(kNullCallLine))) << run.out();
    EXPECT_EQ(run.out().find("Errors "), std::string::npos) << run.out();
  }
}

size_t faultLines(const std::string& out) {
  size_t n = 0;
  for (size_t at = out.find("Exception code = "); at != std::string::npos; at = out.find("Exception code = ", at + 1))
    ++n;
  return n;
}

TEST(FaultRun, BadStackOnMainThreadEndsAsAFault) {
  Program run({.args = {"8"}});
  run.expectOut(R"(\r\d+ cycles)");
  // Below the lowest address a mapping may have: never mapped. The unwinder
  // cannot read the stack either.
  ASSERT_TRUE(injectStackPointer(run.process().pid(), 0x1000));
  ExitStatus status = run.process().wait_exit(Millis(20000));
  EXPECT_TRUE(status.exited_with(5)) << status << "\n" << run.out();
  EXPECT_TRUE(std::regex_search(run.out(), std::regex(R"(Exception code = c0000005 \((read from|write to) address [0-9A-F]{16}\)\n$)")))
      << run.out();
  EXPECT_EQ(faultLines(run.out()), 1u) << run.out();
}

// The fill is under way once 64 MiB of the buffers are resident (or after
// two seconds at most).
void waitForTheFill(Program& run) {
  long resident = 0;
  for (int i = 0; i < 2000 && resident < 64 * 256; ++i) {
    std::ifstream statm(proc(run.process().pid(), "statm"));
    long size = 0;
    statm >> size >> resident;
    usleep(1000);
  }
}

TEST(FaultRun, JumpToNullDuringTheFillEndsWithOneLine) {
  // The fill of 1 GiB lasts long enough to be caught in.
  Program run({.args = {"1024"}});
  run.expectOut(R"(Usage: kelvaring \[megabytes\]\n\n)");
  waitForTheFill(run);
  ASSERT_EQ(run.out().find("allocated"), std::string::npos) << "the fill ended too soon";
  ASSERT_TRUE(injectCallToNull(run.process().pid()));
  ExitStatus status = run.process().wait_exit(Millis(20000));
  EXPECT_TRUE(status.exited_with(5)) << status << "\n" << run.out();
  EXPECT_TRUE(std::regex_search(run.out(), std::regex(kNullCallLine))) << run.out();
  EXPECT_EQ(faultLines(run.out()), 1u) << run.out();
}


TEST(FaultRun, FaultWithoutAddressPrintsTheUnknownAddress) {
  Program run({.args = {"8"}});
  run.expectOut(R"(\r\d+ cycles)");
  pid_t worker = run.thread("worker");
  ASSERT_NE(worker, 0);
  // A non-canonical address: a general protection fault, which Linux
  // reports without an address.
  ASSERT_TRUE(injectJump(worker, 0x8000000000000000ull));
  ExitStatus status = run.process().wait_exit();
  EXPECT_TRUE(status.exited_with(5)) << status << "\n" << run.out();
  EXPECT_TRUE(std::regex_search(run.out(), std::regex(R"(Exception code = c0000005 \(read from address F{16}\)\n$)")))
      << run.out();
}

// Words of one small page of both buffers that differ, read while the
// worker is held (it may be held between the two writes of one pair).
int differingWords(Program& run, std::uint64_t a, std::uint64_t b, std::uint64_t offset) {
  pid_t worker = run.thread("worker");
  ThreadHold hold(worker);
  EXPECT_TRUE(hold.holding());
  int differing = 0;
  for (std::uint64_t i = 0; i < 4096; i += 4) {
    std::optional<std::uint32_t> wordA = read_u32(run.process().pid(), a + offset + i);
    std::optional<std::uint32_t> wordB = read_u32(run.process().pid(), b + offset + i);
    differing += !wordA || !wordB || *wordA != *wordB;
  }
  return differing;
}

int cyclesIn(const std::string& out) {
  std::smatch m;
  std::string last;
  for (auto at = out.cbegin(); std::regex_search(at, out.cend(), m, std::regex(R"(\r(\d+) cycles)")); at = m[0].second)
    last = m[1];
  return last.empty() ? 0 : std::stoi(last);
}

const char* kVerbose = "[tweak]\nverbose=1\n";

// Unprivileged where the test can see to it, with the buffers filling the
// lock limit: the fresh page must not need more of it.
TEST(FaultRun, HardwareErrorInBufferOnWorkerIsOneErrorAndTheRunGoesOn) {
  if (geteuid() == 0 && access(kAsNobody[0].c_str(), X_OK) != 0) GTEST_SKIP() << "setpriv is not installed";
  Program run({.args = {"8"},
               .settings = kVerbose,
               .wrapper = geteuid() == 0 ? kAsNobody : std::vector<std::string>{},
               .openToAll = true,
               .memlockLimit = 8 << 20});
  run.expectOut("Buffers locked in RAM.\n");
  std::uint64_t a, b;
  run.bufferAddresses(a, b);
  run.expectOut(R"(\r\d+ cycles)");
  const std::uint64_t offset = 0x3000;
  const std::uint64_t address = b + offset + 0x10;
  ASSERT_TRUE(injectHardwareError(run.process().pid(), run.thread("worker"), address));
  Match m = run.expectOut(R"(\rError 1, out of (\d+) cycles[^\n]*\n\[([0-9A-F]{16})\]=([0-9a-f]{8}) vs \[([0-9A-F]{16})\]=([0-9a-f]{8}), [^\n]*\n)"
                          R"(Hardware memory error at \[)" + hex16(address) + R"(\] in buffer B, page of 4096 bytes replaced\n)");
  ASSERT_TRUE(m);
  EXPECT_EQ(parse_hex_address(m.groups[4]), address);
  EXPECT_EQ(parse_hex_address(m.groups[2]), a + offset + 0x10);
  EXPECT_EQ(m.groups[3], m.groups[5]);
  // Many more cycles, without another error.
  const int atError = std::stoi(m.groups[1]);
  for (int i = 0; i < 300 && cyclesIn(run.out()) < atError + 20; ++i) usleep(100000);
  EXPECT_GE(cyclesIn(run.out()), atError + 20) << run.out();
  EXPECT_LE(differingWords(run, a, b, offset), 1);
  ExitStatus status = run.stop(SIGINT);
  EXPECT_TRUE(status.exited_with(1)) << status << "\n" << run.out();
  EXPECT_EQ(run.out().find("Error 2,"), std::string::npos) << run.out();
  EXPECT_NE(run.out().find("\rErrors 1, cycles "), std::string::npos) << run.out();
}

// The first mapping of at least `bytes` advised for huge pages ("hg" among
// its VmFlags) in the smaps of a process: a test buffer (or both, where the
// kernel merged them). The sanitizers' shadow is as large, but not advised.
std::uint64_t bufferMapping(pid_t pid, std::uint64_t bytes) {
  for (const smaps::Mapping& m : smaps::mappings(proc(pid, "smaps")))
    if (m.hugePagesAdvised && m.end - m.begin >= bytes) return m.begin;
  return 0;
}

TEST(FaultRun, HardwareErrorInBufferDuringTheFillIsOneError) {
  // The fill of 1 GiB lasts long enough to be caught in.
  Program run({.args = {"1024"}, .settings = std::string(kVerbose) + "log=run.jsonl\n"});
  run.expectOut(R"(Usage: kelvaring \[megabytes\]\n\n)");
  waitForTheFill(run);
  const std::uint64_t address = bufferMapping(run.process().pid(), 512 << 20) + 0x5008;
  ASSERT_GT(address, 0x5008u);
  ASSERT_EQ(run.out().find("allocated"), std::string::npos) << "the fill ended too soon";
  ASSERT_TRUE(injectHardwareError(run.process().pid(), run.process().pid(), address));
  // The rest of the fill, on a busy machine whose memory comes slowly, may
  // take a good deal longer than the usual wait.
  run.expectOut(kAllocationLine, Millis(90000));
  std::uint64_t a, b;
  run.bufferAddresses(a, b);
  Match m = run.expectOut(R"(\rError 1, [^\n]*\n[^\n]*\nHardware memory error at \[)" + hex16(address) +
                          R"(\] in buffer ([AB]), page of 4096 bytes replaced\n)");
  ASSERT_TRUE(m);
  const std::uint64_t offset = (address & ~std::uint64_t{0xFFF}) - (m.groups[1] == "A" ? a : b);
  EXPECT_LE(differingWords(run, a, b, offset), 1);
  run.expectOut(R"(\r\d+ cycles)");
  // The stop waits for the running cycle: 10,485,760 operations at 1 GiB,
  // for which an instrumented build can take many seconds.
  ExitStatus status = run.stop(SIGINT, Millis(90000));
  EXPECT_TRUE(status.exited_with(1)) << status << "\n" << run.out();
  EXPECT_EQ(run.out().find("Error 2,"), std::string::npos) << run.out();
  // The log's record of it names the kind and the page.
  EXPECT_TRUE(std::regex_search(run.dir().read_file("run.jsonl"),
                                std::regex(R"(\{"event":"error",[^\n]*"kind":"hardware",[^\n]*"page_size":4096[,}])")))
      << run.dir().read_file("run.jsonl");
}

TEST(FaultRun, HardwareErrorOutsideTheBuffersStaysAFault) {
  Program run({.args = {"8"}});
  run.expectOut(R"(\r\d+ cycles)");
  ASSERT_TRUE(injectHardwareError(run.process().pid(), run.thread("worker"), 0x10000));
  ExitStatus status = run.process().wait_exit();
  EXPECT_TRUE(status.exited_with(6)) << status << "\n" << run.out();
  EXPECT_TRUE(std::regex_search(run.out(), std::regex("Exception code = c0000006\n$"))) << run.out();
}

// The log's last record tells of the fault, written before the process ended.
TEST(FaultRun, FaultIsTheLogsLastRecord) {
  Program run({.args = {"8"}, .settings = "[tweak]\nlog=fault.jsonl\n"});
  run.expectOut(R"(\r\d+ cycles)");
  pid_t worker = run.thread("worker");
  ASSERT_NE(worker, 0);
  ASSERT_TRUE(injectCallToNull(worker));
  ExitStatus status = run.process().wait_exit();
  EXPECT_TRUE(status.exited_with(5)) << status << "\n" << run.out();
  EXPECT_TRUE(std::regex_search(run.dir().read_file("fault.jsonl"),
                                std::regex(R"(\n\{"event":"fault","time":"[^"]+","code":"c0000005","address":"0{16}"\}\n$)")))
      << run.dir().read_file("fault.jsonl");
}

}  // namespace
}  // namespace e2e
