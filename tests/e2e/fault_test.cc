// Faults in the running executable: the fault line and the exit status.
#include <signal.h>

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

TEST(FaultRun, CallToNullOnWorkerEndsWithoutSummary) {
  Program run({.args = {"8"}});
  run.expectOut(R"(\r\d+ cycles)");
  pid_t worker = run.thread("worker");
  ASSERT_NE(worker, 0);
  ASSERT_TRUE(injectCallToNull(worker));
  ExitStatus status = run.process().wait_exit();
  EXPECT_TRUE(status.exited_with(5)) << status << "\n" << run.out();
  EXPECT_TRUE(std::regex_search(run.out(), std::regex(kNullCallLine))) << run.out();
  EXPECT_EQ(run.out().find("Errors "), std::string::npos) << run.out();
}

}  // namespace
}  // namespace e2e
