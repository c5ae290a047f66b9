// The compare sweep between cycles, seen from outside: faults written into
// buffer B of the running program through /proc/PID/mem.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <iostream>

#include <gtest/gtest.h>

#include "program.h"

namespace e2e {
namespace {

size_t errorLines(const std::string& out) {
  size_t n = 0;
  for (size_t at = out.find("\rError "); at != std::string::npos; at = out.find("\rError ", at + 1)) ++n;
  return n;
}

// At 1 GiB random operations reach a given word only every 8 seconds or so
// (far later on a busy machine); the default sweep passes over it about once
// a second. A word flipped once is
// reported once (the sweep makes the pair agree again); a bit forced again
// and again is reported again.
TEST(SweepRun, FlipFoundOnceByTheSweepAndAStuckBitAgain) {
  if (sanitizedBuild())
    GTEST_SKIP() << "sanitized cycles of 1 GiB last many seconds, and ThreadSanitizer's shadow of the buffers "
                    "would take several GiB";
  Program run({.args = {"1024"}});
  std::uint64_t a, b;
  run.bufferAddresses(a, b);
  ASSERT_NE(b, 0u);
  run.expectOut(R"(\r\d+ cycles)", Millis(30000));
  const std::uint64_t flipped = 100000007;
  const auto written = std::chrono::steady_clock::now();
  ASSERT_TRUE(run.flipInB(flipped, 1u << 9));
  // Two sweep intervals are about two seconds here; a busy machine gets
  // four times that.
  ASSERT_TRUE(run.expectOut(R"(\rError 1, out of \d+ cycles)", Millis(8000)));
  std::cout << "flip reported after "
            << std::chrono::duration_cast<Millis>(std::chrono::steady_clock::now() - written).count() << " ms\n";
  // Several sweeps later it has not been reported again.
  run.expectOut(R"(Error 1,[^]*(\r\d+ cycles[^\r]*){8}$)", Millis(20000));
  EXPECT_EQ(errorLines(run.out()), 1u) << run.out();

  const std::uint64_t stuck = 33333331;
  const pid_t pid = run.process().pid();
  for (int i = 0; i < 300 && errorLines(run.out()) < 3; ++i) {
    std::optional<std::uint32_t> wordA = read_u32(pid, a + 4 * stuck);
    ASSERT_TRUE(wordA && write_u32(pid, b + 4 * stuck, *wordA ^ (1u << 4)));
    usleep(100000);
  }
  EXPECT_GE(errorLines(run.out()), 3u) << run.out();
  EXPECT_TRUE(run.stop(SIGINT).exited_with(1));
}

}  // namespace
}  // namespace e2e
