// Runs of several workers: the lines, the threads, an error in the last
// slice, the stop, a fault on a later worker, the count under a narrow
// affinity, and hardware memory errors at the slice edges.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "inject.h"
#include "program.h"

namespace e2e {
namespace {

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

// One worker per CPU of the affinity mask: one under taskset -c 0, a run of
// one (its worker fills nothing, the main thread does).
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

size_t occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
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
    EXPECT_EQ(occurrences(run.out(), "Hardware memory error at ["), errors) << run.out();
    EXPECT_EQ(occurrences(run.out(), "\rError "), errors) << run.out();
  }
}

}  // namespace
}  // namespace e2e
