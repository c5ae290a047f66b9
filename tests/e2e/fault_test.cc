// Faults in the running executable: the fault line and the exit status.
#include <signal.h>
#include <unistd.h>

#include <fstream>

#include <gtest/gtest.h>

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

TEST(FaultRun, JumpToNullDuringTheFillEndsWithOneLine) {
  // The fill of 1 GiB lasts long enough to be caught in.
  Program run({.args = {"1024"}});
  run.expectOut(R"(Usage: kelvaring \[megabytes\]\n\n)");
  // The fill is under way once pages of the buffers are resident.
  long resident = 0;
  for (int i = 0; i < 2000 && resident < 64 * 256; ++i) {
    std::ifstream statm("/proc/" + std::to_string(run.process().pid()) + "/statm");
    long size = 0;
    statm >> size >> resident;
    usleep(1000);
  }
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
