// The compare sweep between cycles, run in-process over real buffers.
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/engine.h"
#include "kelvaring/state.h"
#include "random/subtractive_random.h"
#include "test_state.h"

namespace kelvaring {
namespace {

using SweepTest = testing::StateTest;

constexpr uint64_t kStretchWords = uint64_t{1} << 20;  // between two looks at the stop flag

void flip(TestBuffer& buffer, uint64_t index, uint32_t bits) { buffer.at(index) = buffer.at(index) ^ bits; }

// Words no multiple of a block nor of a stretch: flips at both ends of
// blocks and stretches, in the tail after the last whole block and in the
// last word, in either buffer. Each is found and its pair made to agree on
// A's value; nothing else is written, no draw is made, no cycle counted.
TEST_F(SweepTest, FindsEveryDifferenceAndMakesThePairAgree) {
  constexpr uint64_t kWords = 2 * kStretchWords + 100;
  const std::vector<uint64_t> inB{0, 63, 64, 200, kStretchWords - 1, kStretchWords, 2 * kStretchWords + 64,
                                  kWords - 1};
  const uint64_t inA = 1000;
  for (int32_t method : {0, 1}) {
    SCOPED_TRACE(method);
    TestRun run;
    seedRandomAt(run, 1);
    ASSERT_TRUE(allocateBuffers(run, kWords * 8 + 5));
    run.settings.method = method;
    for (uint64_t i : inB) flip(run.bufferB, i, 1u << 3);
    flip(run.bufferA, inA, 1u << 20);
    run.bufferA.at(kWords - 1) = 0x12345678;  // the last word differs in many bits
    const SubtractiveRandom before = run.workers[0].generator;

    EXPECT_TRUE(sweepSlice(oneWorker(run)));
    EXPECT_TRUE(run.errorSeen.load());
    EXPECT_EQ(run.workers[0].stickyMask, method == 1 ? (1u << 3) | (1u << 20) | (0x12345678 ^ kFillWord ^ 8) : 0u);
    uint64_t wrong = 0;
    for (uint64_t i = 0; i < kWords; ++i) {
      const uint32_t expected = i == inA ? kFillWord ^ (1u << 20) : i == kWords - 1 ? 0x12345678 : kFillWord;
      wrong += run.bufferA.at(i) != expected || run.bufferB.at(i) != expected;
    }
    EXPECT_EQ(wrong, 0u);
    // The last one found, as read before it was mended.
    const MismatchDetail& d = run.workers[0].errors.detail;
    std::vector<uint64_t> seen{d.addressB.load(), d.valueA.load(), d.valueB.load(),
                               d.comparedA.load(), d.comparedB.load(), d.kind.load()};
    std::vector<uint64_t> expected{reinterpret_cast<uintptr_t>(&run.bufferB.base[kWords - 1]),
                                   0x12345678, kFillWord ^ 8, 0x12345678, kFillWord ^ 8,
                                   uint8_t(ErrorKind::sweep)};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(std::memcmp(&run.workers[0].generator, &before, sizeof before), 0);
    EXPECT_EQ(run.cycles.load(), 0u);
    // A second sweep finds nothing more.
    run.errorSeen = false;
    EXPECT_TRUE(sweepSlice(oneWorker(run)));
    EXPECT_FALSE(run.errorSeen.load());
  }
}

TEST(SweepScheduleTest, IntervalGivesTheShareOfTheWorkersTime) {
  EXPECT_EQ(sweepInterval(100, 100), 0u);
  EXPECT_EQ(sweepInterval(100, 10), 900u);
  EXPECT_EQ(sweepInterval(100, 50), 100u);
  EXPECT_EQ(sweepInterval(3, 1), 297u);
  EXPECT_EQ(sweepInterval(uint64_t{100} << 32, 1), uint64_t{9900} << 32);
}

// At 1 % a sweep follows the first cycle, and each next one 99 times its
// own length later: far fewer sweeps than cycles. A cycle at 64 MiB takes
// as long as 3 to 10 sweeps (plain build, sanitizers), so 40 cycles make
// room for 2 to 5; 10 are reached only when a cycle takes 22 sweeps. A busy
// machine slows both alike, and each sweep sets the next interval anew.
TEST_F(SweepTest, OnePerCentSweepsFarLessOftenThanCycles) {
  seedRandomAt(run, 1);
  ASSERT_TRUE(allocateBuffers(run, 64 << 20));
  run.settings.sweep = 1;
  run.cycleLimit = 40;
  Worker& worker = oneWorker(run);
  runWorker(worker);
  EXPECT_EQ(run.cycles.load(), 40u);
  EXPECT_GE(worker.sweeps, 1u);
  EXPECT_LE(worker.sweeps, 10u);
}

// MemAvailable of /proc/meminfo in bytes; 0 when unknown.
uint64_t availableBytes() {
  std::ifstream meminfo("/proc/meminfo");
  for (std::string key; meminfo >> key;) {
    uint64_t kib = 0;
    if (key == "MemAvailable:" && meminfo >> kib) return kib << 10;
    meminfo.ignore(1 << 10, '\n');
  }
  return 0;
}

// A stop request during a sweep of a test of 8 GiB: the sweep ends within a
// second, before it reaches the end. A difference in the first word shows
// that the sweep is under way; one in the last word is left as it is.
TEST_F(SweepTest, StopEndsASweepOf8GiBWithinASecond) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' shadow of 8 GiB of buffers would not fit beside the other builds";
#endif
  if (sizeof(void*) < 8) GTEST_SKIP() << "a 32-bit process cannot address 8 GiB";
  constexpr uint64_t kBytes = uint64_t{8} << 30;
  const uint64_t available = availableBytes();
  if (available < kBytes + (kBytes >> 2))
    GTEST_SKIP() << "8 GiB and a margin do not fit in the " << (available >> 20) << " MiB available";
  ASSERT_TRUE(allocateBuffers(run, kBytes));
  const uint64_t last = run.bufferA.wordCount - 1;
  flip(run.bufferB, 0, 1);
  flip(run.bufferB, last, 1);
  std::atomic<bool> whole{true};
  std::atomic<bool> ended{false};
  std::thread sweeper([&] { whole = sweepSlice(oneWorker(run)), ended = true; });
  while (!run.errorSeen.load()) std::this_thread::yield();
  run.stopRequested = true;
  const auto stopped = std::chrono::steady_clock::now();
  while (!ended.load() && std::chrono::steady_clock::now() - stopped < std::chrono::seconds(30))
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const auto took = std::chrono::steady_clock::now() - stopped;
  sweeper.join();
  EXPECT_LT(took, std::chrono::seconds(1));
  EXPECT_FALSE(whole.load());
  EXPECT_NE(run.bufferA.at(last), run.bufferB.at(last));
}

}  // namespace
}  // namespace kelvaring
