// Ending a run from the terminal: Ctrl+C, Ctrl+\, hang-up and SIGTERM.
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <optional>

#include <gtest/gtest.h>

#include "inject.h"
#include "program.h"

namespace e2e {
namespace {

const char* kNotice = "\nStop signaled. Terminating...\n";
const char* kSummaryAtEnd = R"(\rErrors 0, cycles (\d+), \(\d+% coverage\) {10}\n$)";

size_t count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST(StopRun, EachStopSignalEndsInOrder) {
  for (int signal : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) {
    SCOPED_TRACE(strsignal(signal));
    Program run({.args = {"16"}});
    run.expectOut(R"(\r\d+ cycles)");
    ExitStatus status = run.stop(signal);
    EXPECT_TRUE(status.exited_with(0)) << status;
    std::string out = run.out();
    size_t notice = out.find(kNotice);
    ASSERT_NE(notice, std::string::npos) << out;
    EXPECT_EQ(count(out, kNotice), 1u);
    EXPECT_TRUE(std::regex_search(out.substr(notice), std::regex(kSummaryAtEnd))) << out;
    EXPECT_EQ(count(out, "\rErrors "), 1u);
  }
}

TEST(StopRun, TwoInterruptsGiveTwoNoticesAndOneSummary) {
  Program run({.args = {"16"}});
  run.expectOut(R"(\r\d+ cycles)");
  {
    // The worker is held mid-cycle, so both arrive before it can end.
    ThreadHold hold(run.thread("worker"));
    ASSERT_TRUE(hold.holding());
    run.process().send_signal(SIGINT);
    run.expectOut("Terminating");
    run.process().send_signal(SIGINT);
    run.expectOut("Terminating[^]*Terminating");
  }
  ExitStatus status = run.process().wait_exit();
  EXPECT_TRUE(status.exited_with(0)) << status;
  EXPECT_EQ(count(run.out(), kNotice), 2u) << run.out();
  EXPECT_EQ(count(run.out(), "\rErrors "), 1u) << run.out();
}

TEST(StopRun, InterruptEndsAnHourLongPause) {
  Program run({.args = {"8"}, .settings = "[tweak]\ntimeout=3600000\n"});
  run.expectOut(R"(\r1 cycles, )");
  ExitStatus status = run.stop(SIGINT, Millis(3000));
  EXPECT_TRUE(status.exited_with(0)) << status;
  EXPECT_TRUE(std::regex_search(run.out(), std::regex(R"(\rErrors 0, cycles 1, )"))) << run.out();
}

TEST(StopRun, EndlessPauseEndsToo) {
  Program run({.args = {"8"}, .settings = "[tweak]\ntimeout=-1\n"});
  run.expectOut(R"(\r1 cycles, )");
  ExitStatus status = run.stop(SIGTERM, Millis(3000));
  EXPECT_TRUE(status.exited_with(0)) << status;
}

TEST(StopRun, InterruptDuringFillTakesDefaultCourse) {
  // The fill of 1 GiB outlasts the signal's way here by far.
  Program run({.args = {"1024"}});
  run.expectOut(R"(Usage: kelvaring \[megabytes\]\n\n)");
  ExitStatus status = run.stop(SIGINT);
  EXPECT_TRUE(status.killed_by(SIGINT)) << status << "\n" << run.out();
  EXPECT_EQ(run.out().find("Stop signaled"), std::string::npos);
  EXPECT_EQ(run.out().find("allocated"), std::string::npos);
}

TEST(StopRun, ErrorLimitStopsWithoutNotice) {
  Program run({.args = {"1"}, .settings = "[tweak]\nerrmax=2\n"});
  std::uint64_t a, b;
  run.bufferAddresses(a, b);
  run.expectOut(R"(\r\d+ cycles)");
  for (int report = 1; report <= 2 && run.process().running(); ++report) {
    run.flipInB(7, 1);
    run.expectOut("Error " + std::to_string(report) + ", out of", Millis(2000));
  }
  ExitStatus status = run.process().wait_exit();
  EXPECT_TRUE(status.exited_with(1)) << status;
  EXPECT_EQ(run.out().find("Stop signaled"), std::string::npos);
  EXPECT_TRUE(std::regex_search(run.out(), std::regex(R"(\rErrors 2, cycles \d+, \(\d+% coverage\) {10}\n$)")))
      << run.out();
}

TEST(StopRun, UserSignalTwoTakesItsDefaultCourse) {
  Program run({.args = {"16"}});
  run.expectOut(R"(\r\d+ cycles)");
  ExitStatus status = run.stop(SIGUSR2);
  EXPECT_TRUE(status.killed_by(SIGUSR2)) << status << "\n" << run.out();
  EXPECT_EQ(run.out().find("Stop signaled"), std::string::npos) << run.out();
}

TEST(StopRun, HangUpIgnoredAtStartStaysIgnored) {
  // As under nohup.
  Program run({.args = {"16"}, .ignoredSignals = {SIGHUP}});
  run.expectOut(R"(\r\d+ cycles)");
  run.process().send_signal(SIGHUP);
  // Two polls later the run goes on, unstopped.
  run.expectOut(R"((\r\d+ cycles[^\r]*){3}$)");
  EXPECT_TRUE(run.process().running());
  EXPECT_EQ(run.out().find("Stop signaled"), std::string::npos) << run.out();
  ExitStatus status = run.stop(SIGINT);
  EXPECT_TRUE(status.exited_with(0)) << status;
}

TEST(StopRun, InterruptsUntilTheEndLeaveTheOutcome) {
  for (bool withError : {false, true}) {
    SCOPED_TRACE(withError ? "after an error report" : "without errors");
    // 255 MiB take a while to release after the summary, and stay below
    // the size from which a cycle has ten times the operations: the stop
    // waits for the running cycle, which an instrumented build runs slowly.
    Program run({.args = {"255"}});
    run.expectOut(R"(\r\d+ cycles)");
    if (withError) {
      for (std::uint64_t i = 0; i < 4096; i += 64) ASSERT_TRUE(run.flipInB(i, 1));
      run.expectOut(R"(\rError 1, )", Millis(10000));
    }
    int sent = 0;
    for (; run.process().send_signal(SIGINT) && run.process().running() && sent < 100000; ++sent) usleep(1000);
    ExitStatus status = run.process().wait_exit();
    EXPECT_TRUE(status.exited_with(withError ? 1 : 0)) << status << " after " << sent << " interrupts";
    // Nothing after the summary but the notices of interrupts that came
    // while it was printed.
    EXPECT_TRUE(std::regex_search(
        run.out(), std::regex(R"(\rErrors \d+, cycles \d+, \(\d+% coverage\) {10}\n(\nStop signaled\. Terminating\.\.\.\n)*$)")))
        << run.out();
  }
}

// The system call a held thread waits in; -1 when it is in none.
int systemCallOf(pid_t pid, pid_t tid) {
  std::ifstream file(proc(pid, "task/" + std::to_string(tid) + "/syscall"));
  int number = -1;
  file >> number;
  return number;
}

TEST(StopRun, ErrorAfterTheLastPollIsReported) {
  Program run({.args = {"1"}});
  std::uint64_t a, b;
  run.bufferAddresses(a, b);
  run.expectOut(R"(\r\d+ cycles)");
  pid_t pid = run.process().pid();
  {
    // The main thread held while it waits for its wake-up (not while it
    // prints, which would hold up the stop notice): it cannot look again
    // before the worker has found the error and ended.
    std::optional<ThreadHold> hold;
    constexpr int kPoll = 7, kPpoll = 271;
    for (int tries = 0; tries < 100; ++tries) {
      hold.emplace(pid);
      const long call = hold->holding() ? systemCallOf(pid, pid) : -1;
      if (call == kPoll || call == kPpoll) break;
      hold.reset();
      usleep(5000);
    }
    ASSERT_TRUE(hold && hold->holding());
    ASSERT_TRUE(run.flipInB(7, 1));
    // At 1 MiB every word is visited several times per cycle.
    usleep(300000);
    run.process().send_signal(SIGINT);
    for (int i = 0; i < 2000 && run.thread("worker") != 0; ++i) usleep(5000);
    ASSERT_EQ(run.thread("worker"), 0) << "the worker did not end";
  }
  ExitStatus status = run.process().wait_exit();
  EXPECT_TRUE(status.exited_with(1)) << status;
  EXPECT_TRUE(std::regex_search(run.out(), std::regex(R"(\rError 1, out of \d+ cycles[^\n]*\n)"
                                                      R"([^]*\rErrors 1, cycles \d+, \(\d+% coverage\) {10}\n$)")))
      << run.out();
}

}  // namespace
}  // namespace e2e
