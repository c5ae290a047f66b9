// Runs of several workers: the lines, the threads, an error in the last
// slice, the stop, a fault on a later worker, the count under a narrow
// affinity, and hardware memory errors at the slice edges.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "inject.h"
#include "program.h"

namespace e2e {
namespace {

// Lines of `text` that hold `needle`.
int linesWith(const std::string& text, const std::string& needle) {
  int count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
  return count;
}

// 24 MiB: 3145728 words per buffer, three slices of 1048576.
constexpr std::uint64_t kWords = 3145728;

TEST(WorkersRun, ThreeWorkersFindAnErrorInTheLastSliceAndStopInOrder) {
  Program run({.args = {"24"}, .settings = "[tweak]\nverbose=1\nworkers=3\nlog=run.jsonl\n"});
  std::uint64_t a = 0, b = 0;
  run.bufferAddresses(a, b);
  // After the allocation line, before the lock line.
  run.expectOut(std::string(kAllocationLine) + "3 workers in use\\.\nBuffers (not )?locked in RAM\\.\n");
  run.expectOut(R"(\r\d+ cycles)");
  for (const char* name : {"worker", "worker 1", "worker 2"}) EXPECT_NE(run.thread(name), 0) << name;
  ASSERT_TRUE(run.flipInB(kWords - 1, 1u << 7));
  run.expectOut(R"(\rError 1, out of \d+ cycles)");
  ExitStatus status = run.stop(SIGINT);
  EXPECT_TRUE(status.exited_with(1)) << status;
  const std::string out = run.out();
  EXPECT_TRUE(std::regex_search(out, std::regex(R"(Stop signaled\. Terminating\.\.\.\n[^]*\rErrors 1, cycles \d+, \(\d+% coverage\) {10}\nFinished)")))
      << out;
  char detail[64];
  std::snprintf(detail, sizeof detail, "vs [%016llX]=", static_cast<unsigned long long>(b + 4 * (kWords - 1)));
  EXPECT_NE(out.find(detail), std::string::npos) << out;
  EXPECT_NE(out.find(", failing bits 00000080\n"), std::string::npos) << out;
  const std::string log = run.dir().read_file("run.jsonl");
  EXPECT_NE(log.find(R"("ops_per_cycle":1048576,"workers":3,)"), std::string::npos) << log;
  // A cycle's operation or the sweep, whichever came first.
  EXPECT_TRUE(std::regex_search(log, std::regex(R"x("kind":"(mismatch|sweep)","worker":2,)x"))) << log;
}

// A fault on the second worker is the fault line and the fault's status, as
// on the first.
TEST(WorkersRun, FaultOnASecondWorkerEndsWithTheFaultLineAndStatus) {
  Program run({.args = {"16"}, .settings = "[tweak]\nworkers=2\n"});
  run.expectOut(R"(\r\d+ cycles)");
  pid_t second = run.thread("worker 1");
  ASSERT_NE(second, 0);
  ASSERT_TRUE(injectCallToNull(second));
  ExitStatus status = run.process().wait_exit();
  EXPECT_TRUE(status.exited_with(5)) << status << "\n" << run.out();
  EXPECT_TRUE(std::regex_search(run.out(), std::regex(R"(Exception code = c0000005 \(write to address 0{16}\)\n$)")))
      << run.out();
  EXPECT_EQ(run.out().find("Errors "), std::string::npos) << run.out();
}

// One worker per CPU of the affinity mask: one under taskset -c 0.
TEST(WorkersRun, OnePerCpuUnderAnAffinityOfOneCpuIsOne) {
  const char* taskset = "/usr/bin/taskset";
  if (access(taskset, X_OK) != 0) GTEST_SKIP() << "taskset is not installed";
  Program run({.args = {"8"}, .settings = "[tweak]\nverbose=1\nworkers=0\n", .wrapper = {taskset, "-c", "0"}});
  run.expectOut(std::string(kAllocationLine) + "1 worker in use\\.\n");
  run.expectOut(R"(\r\d+ cycles)");
  EXPECT_NE(run.thread("worker"), 0);
  EXPECT_EQ(run.thread("worker 1"), 0);
  EXPECT_TRUE(run.stop(SIGINT).exited_with(0)) << run.out();
}

// A coverage ends every team at the cycle that reaches it, whatever the
// workers, the sweep and the pause: none hangs, one stop record each. An
// endless pause ends there too (the figure is then one cycle: a worker
// pauses for good after its share).
TEST(WorkersRun, CoverageEndsEveryTeamAtItsCycle) {
  for (int workers : {1, 2, 3})
    for (int sweep : {0, 10})
      for (int timeout : {0, 50, -1}) {
        const int percent = timeout == -1 ? 5 : 15;  // 16 MiB: 5 % a cycle
        SCOPED_TRACE("workers=" + std::to_string(workers) + " sweep=" + std::to_string(sweep) +
                     " timeout=" + std::to_string(timeout));
        Program run({.args = {"16"},
                     .settings = "[tweak]\ncoverage=" + std::to_string(percent) + "\nworkers=" +
                                 std::to_string(workers) + "\nsweep=" + std::to_string(sweep) +
                                 "\ntimeout=" + std::to_string(timeout) + "\nlog=run.jsonl\n"});
        ExitStatus status = run.process().wait_exit(Millis(20000));
        EXPECT_TRUE(status.exited_with(0)) << status << "\n" << run.out();
        const std::string summary = "\rErrors 0, cycles " + std::to_string(percent / 5) + ", (" +
                                    std::to_string(percent) + "% coverage)          \n";
        EXPECT_TRUE(run.out().ends_with(summary)) << run.out();
        const std::string log = run.dir().read_file("run.jsonl");
        EXPECT_EQ(std::regex_search(log, std::regex(R"("event":"stop".*\n(.*\n)*.*"event":"stop")")), false) << log;
        EXPECT_NE(log.find(R"("event":"stop",)"), std::string::npos) << log;
        EXPECT_NE(log.find(R"("reason":"coverage")"), std::string::npos) << log;
      }
}

// Four workers, a word of each slice flipped at once, twice: every flipped
// address is in the log, each record names its worker and counts one
// mismatch, and the summary and the metrics count all eight.
TEST(WorkersRun, FlipsInEverySliceAtOnceAreAllLoggedAndCounted) {
  constexpr std::uint64_t kSlice = 2097152;  // 32 MiB: 8388608 words, four slices
  Program run({.args = {"64"}, .settings = "[tweak]\nworkers=4\nlog=run.jsonl\nmetrics=run.prom\n"});
  std::uint64_t a = 0, b = 0;
  run.bufferAddresses(a, b);
  run.expectOut(R"(\r\d+ cycles)");
  std::vector<std::string> flipped;
  for (int round = 0; round < 2; ++round) {
    for (std::uint64_t k = 0; k < 4; ++k) {
      const std::uint64_t index = k * kSlice + 1000 + 77 * k + round;
      ASSERT_TRUE(run.flipInB(index, 1u << (k + 3)));
      flipped.push_back(hex16(b + 4 * index));
    }
    run.expectOut(R"(\rError )" + std::to_string(round + 1) + ", ", Millis(15000));
    // Every record of the round is in before the next.
    for (int i = 0; i < 100 && linesWith(run.dir().read_file("run.jsonl"), "\"event\":\"error\"") < 4 * (round + 1); ++i)
      usleep(50000);
  }
  ExitStatus status = run.stop(SIGINT);
  EXPECT_TRUE(status.exited_with(1)) << status;
  const std::string log = run.dir().read_file("run.jsonl");
  for (const std::string& address : flipped)
    EXPECT_TRUE(std::regex_search(log, std::regex(R"("worker":\d,"mismatches":1,[^\n]*"virtual_b":")" + address)))
        << address << "\n" << log;
  EXPECT_EQ(linesWith(log, "\"event\":\"error\""), 8) << log;
  EXPECT_NE(log.find(R"("mismatches_found":8,)"), std::string::npos) << log;
  EXPECT_NE(run.dir().read_file("run.prom").find("\nkelvaring_mismatches_found_total 8\n"), std::string::npos);
}

// Two flips 100 ms apart are two reports at least 500 ms apart: the first
// at once, the second not before the pace allows it.
TEST(WorkersRun, ReportsComeNoCloserThanHalfASecond) {
  Program run({.args = {"16"}, .settings = "[tweak]\nlog=run.jsonl\n"});
  std::uint64_t a = 0, b = 0;
  run.bufferAddresses(a, b);
  run.expectOut(R"(\r\d+ cycles)");
  ASSERT_TRUE(run.flipInB(1000, 1));
  usleep(100000);
  ASSERT_TRUE(run.flipInB(2000000, 2));
  run.expectOut(R"(\rError 2, )", Millis(15000));
  ExitStatus status = run.stop(SIGINT);
  EXPECT_TRUE(status.exited_with(1)) << status;
  const std::string log = run.dir().read_file("run.jsonl");
  std::vector<double> times;
  const std::regex error(R"("event":"error","time":"[^T]*T(\d\d):(\d\d):(\d\d\.\d\d\d))");
  for (auto it = std::sregex_iterator(log.begin(), log.end(), error); it != std::sregex_iterator(); ++it)
    times.push_back(std::stod((*it)[1]) * 3600 + std::stod((*it)[2]) * 60 + std::stod((*it)[3]));
  ASSERT_EQ(times.size(), 2u) << log;
  EXPECT_GE(times[1] - times[0], 0.5) << log;
}

// Hardware memory errors of 2 MiB pages in both buffers, each handled on a
// thread that does not own the page while the owner goes on testing: the
// owner is held still during the replacement, so none of its writes is lost
// and no mismatch follows. Three workers on 96 MiB (24 stretches of 2 MiB
// per buffer, slices of 16 MiB), the pages on either side of each slice
// edge; and a run of one, its errors taken by the main thread.
TEST(WorkersRun, HardwareErrorsOnOtherThreadsThanThePagesOwnerLoseNoWrite) {
  if (geteuid() != 0)
    GTEST_SKIP() << "not root: the run is to lock its buffers as a real one, and ptrace of its threads may be refused";
  constexpr std::uint64_t kPage = 2 << 20, kSlice = 16 << 20;
  struct Page {
    std::uint64_t offset;  // in its buffer
    const char* thread;    // that gets the error, not the page's owner; "" the main thread
  };
  struct Row {
    const char* megabytes;
    const char* workers;
    std::vector<Page> pages;
  };
  for (const Row& row : {Row{"96", "3", {{kSlice - kPage, "worker 2"}, {kSlice, "worker"}, {2 * kSlice - kPage, ""},
                                         {2 * kSlice, "worker"}}},
                         Row{"16", "1", {{0, ""}, {kPage, ""}, {2 * kPage, ""}, {3 * kPage, ""}}}}) {
    SCOPED_TRACE(std::string(row.workers) + " workers");
    Program run({.args = {row.megabytes}, .settings = std::string("[tweak]\nverbose=1\nworkers=") + row.workers + "\n"});
    std::uint64_t a = 0, b = 0;
    run.bufferAddresses(a, b);
    run.expectOut(R"(\r\d+ cycles)");
    ASSERT_EQ(a % kPage, 0u);
    ASSERT_EQ(b % kPage, 0u);
    size_t errors = 0;
    for (const Page& page : row.pages) {
      const pid_t tid = *page.thread != 0 ? run.thread(page.thread) : run.process().pid();
      ASSERT_NE(tid, 0) << page.thread;
      for (std::uint64_t base : {a, b}) {
        const std::uint64_t address = base + page.offset + 0x1238;
        SCOPED_TRACE(hex16(address));
        const auto at = std::chrono::steady_clock::now();
        const bool injected = injectHardwareError(run.process().pid(), tid, address, 21);
        if (!injected && errors == 0) GTEST_SKIP() << "ptrace is not allowed";
        ASSERT_TRUE(injected);
        ++errors;
        ASSERT_TRUE(run.expectOut("\rError " + std::to_string(errors) + ",[^\n]*\n[^\n]*\nHardware memory error at \\[" +
                                  hex16(address) + "\\] in buffer " + (base == a ? "A" : "B") +
                                  ", page of 2097152 bytes replaced\n"));
        // The next in a later poll of the monitor.
        std::this_thread::sleep_until(at + Millis(1200));
      }
    }
    // Seconds of testing and sweeps over the replaced pages: no false mismatch.
    sleep(3);
    ExitStatus status = run.stop(SIGINT);
    EXPECT_TRUE(status.exited_with(1)) << status << "\n" << run.out() << run.err();
    EXPECT_EQ(linesWith(run.out(), "Hardware memory error at ["), static_cast<int>(errors)) << run.out();
    EXPECT_EQ(linesWith(run.out(), "\rError "), static_cast<int>(errors)) << run.out();
    // Each in the failing pages, as the kernel's to retire.
    EXPECT_EQ(linesWith(run.out(), ", found by hardware, retired by the kernel\n"), static_cast<int>(errors))
        << run.out();
  }
}

}  // namespace
}  // namespace e2e
