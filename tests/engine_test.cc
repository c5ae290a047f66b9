#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/system_info.h"
#include "engine/engine.h"
#include "kelvaring/state.h"
#include "random/index_draw.h"
#include "random/subtractive_random.h"
#include "smaps.h"
#include "test_state.h"

namespace kelvaring {
namespace {

constexpr uint32_t kSeedTime = 1103285978;
constexpr uint64_t kEightMiB = uint64_t{8} << 20;
constexpr uint64_t kEightMiBWords = kEightMiB >> 3;  // per buffer
constexpr uint64_t kTwoTo32 = uint64_t{1} << 32;

std::atomic<uint32_t> pauseCalls{0};
std::atomic<uint32_t> pausesOutOfStep{0};  // pause k not right after cycle k, or of another length
std::atomic<uint32_t> expectedPause{0};

void countingPause(TestRun& run, uint32_t milliseconds) {
  uint32_t call = pauseCalls.fetch_add(1) + 1;
  if (run.cycles.load() != call || milliseconds != expectedPause.load()) pausesOutOfStep.fetch_add(1);
}

// A fresh run, and the pause counters of these tests as at the start.
class EngineStateTest : public testing::StateTest {
 protected:
  void SetUp() override { pauseCalls = pausesOutOfStep = expectedPause = 0; }
};

SubtractiveRandom seededCopy() {
  SubtractiveRandom g{};
  seedGenerator(g, kSeedTime, platform::noticeText());
  return g;
}

bool sameGenerator(const SubtractiveRandom& x, const SubtractiveRandom& y) {
  return std::memcmp(&x, &y, sizeof x) == 0;
}

// One cycle's operations over words below 2^32 words, drawn from `g`.
void applyOperations(std::vector<uint32_t>& model, SubtractiveRandom& g, uint32_t ops, uint32_t mask) {
  for (uint32_t op = 0; op < ops; ++op) {
    uint64_t index = nextRandom(g) % model.size();
    model[index] = nextRandom(g) | mask;
  }
}

void flipBit3(TestBuffer& buffer, uint64_t index) { buffer.at(index) = buffer.at(index) ^ 8; }

uint32_t read(TestBuffer& buffer, uint64_t index) { return buffer.at(index); }

::testing::AssertionResult holds(TestBuffer& buffer, const std::vector<uint32_t>& model) {
  if (buffer.wordCount != model.size())
    return ::testing::AssertionFailure() << "buffer has " << buffer.wordCount << " words";
  for (uint64_t i = 0; i < model.size(); ++i) {
    uint32_t word = buffer.at(i);
    if (word != model[i])
      return ::testing::AssertionFailure()
             << "word " << i << " holds 0x" << std::hex << word << ", expected 0x" << model[i];
  }
  return ::testing::AssertionSuccess();
}

using EngineBufferTest = EngineStateTest;

TEST_F(EngineBufferTest, FailedAllocationLeavesNoBufferAndNoCycleLength) {
  for (uint64_t bytes = 0; bytes < 8; ++bytes) {  // no whole word
    EXPECT_FALSE(allocateBuffers(run, bytes)) << bytes;
    EXPECT_EQ(run.bufferA.base, nullptr) << bytes;
    EXPECT_EQ(run.bufferB.base, nullptr) << bytes;
  }
  EXPECT_FALSE(allocateBuffers(run, uint64_t{1} << 62));  // 2^61 bytes per buffer
  EXPECT_EQ(run.bufferB.base, nullptr);
  EXPECT_EQ(run.opsPerCycle, 0u);
}

TEST_F(EngineBufferTest, EachBufferGetsAnEighthOfTheBytesAsFilledWords) {
  ASSERT_TRUE(allocateBuffers(run, 100));
  EXPECT_TRUE(holds(run.bufferA, std::vector<uint32_t>(12, kFillWord)));
  EXPECT_TRUE(holds(run.bufferB, std::vector<uint32_t>(12, kFillWord)));

  ASSERT_TRUE(allocateBuffers(run, kEightMiB + 7));
  std::vector<uint32_t> filled(kEightMiBWords, kFillWord);
  EXPECT_TRUE(holds(run.bufferA, filled));
  EXPECT_TRUE(holds(run.bufferB, filled));
  EXPECT_EQ(run.opsPerCycle, 1048576u);
}

// The count the main thread shows while a long fill lasts: the words of
// the slice, however its edges fall.
TEST_F(EngineBufferTest, FillPublishesTheWordsItFilled) {
  ASSERT_TRUE(obtainBuffers(run, kEightMiB * 2));
  std::atomic<uint64_t> filled{12345};
  fillWords(run, 3, run.bufferA.wordCount - 5, &filled);
  EXPECT_EQ(filled.load(), run.bufferA.wordCount - 8);
}

TEST_F(EngineBufferTest, CycleLengthGrowsFrom256MiB) {
  ASSERT_TRUE(allocateBuffers(run, 268435455));
  EXPECT_EQ(run.bufferA.wordCount, 33554431u);
  EXPECT_EQ(run.opsPerCycle, 1048576u);
  run.bufferA.release();
  run.bufferB.release();
  TestRun larger;
  ASSERT_TRUE(allocateBuffers(larger, 268435456));
  EXPECT_EQ(larger.bufferB.wordCount, 33554432u);
  EXPECT_EQ(larger.opsPerCycle, 10485760u);
}

using EngineBufferDeathTest = EngineStateTest;

TEST_F(EngineBufferDeathTest, AccessPastTheLastWordEndsWithTheBoundsCode) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ASSERT_TRUE(allocateBuffers(run, 64));
  EXPECT_EXIT(read(run.bufferA, run.bufferA.wordCount), ::testing::ExitedWithCode(0x8C), "");
  EXPECT_EXIT(read(run.bufferB, kTwoTo32 + 1), ::testing::ExitedWithCode(0x8C), "");
  run.bufferA.release();
  EXPECT_EXIT(read(run.bufferA, 0), ::testing::ExitedWithCode(0x8C), "");
}

using EngineCycleTest = EngineStateTest;

TEST_F(EngineCycleTest, CycleWritesWhatTheDrawsChoose) {
  seedRandomAt(run, kSeedTime);
  ASSERT_TRUE(allocateBuffers(run, kEightMiB));
  ASSERT_EQ(run.opsPerCycle, 1u << 20);
  SubtractiveRandom copy = seededCopy();
  std::vector<uint32_t> model(kEightMiBWords, kFillWord);
  applyOperations(model, copy, 1u << 20, 0);
  runCycle(oneWorker(run));
  EXPECT_TRUE(holds(run.bufferA, model));
  EXPECT_TRUE(holds(run.bufferB, model));
  EXPECT_TRUE(sameGenerator(run.workers[0].generator, copy)) << "two draws per operation";
  EXPECT_EQ(run.cycles.load(), 1u);
  EXPECT_FALSE(run.errorSeen.load());
}

TEST_F(EngineCycleTest, NoOperationsTouchNothingButCountTheCycle) {
  seedRandomAt(run, kSeedTime);
  ASSERT_TRUE(allocateBuffers(run, 64 * 1024));
  flipBit3(run.bufferB, 0);  // a read of word 0 would see the mismatch
  run.opsPerCycle = 0;
  SubtractiveRandom before = run.workers[0].generator;
  runCycle(oneWorker(run));
  runCycle(oneWorker(run));
  EXPECT_EQ(run.cycles.load(), 2u);
  EXPECT_FALSE(run.errorSeen.load());
  EXPECT_TRUE(sameGenerator(run.workers[0].generator, before));
  std::vector<uint32_t> model(8192, kFillWord);
  EXPECT_TRUE(holds(run.bufferA, model));
  model[0] ^= 8;
  EXPECT_TRUE(holds(run.bufferB, model));
}

struct MismatchCase {
  int32_t method;
  int32_t verbose;
};

class EngineCycleMismatchTest : public EngineStateTest, public ::testing::WithParamInterface<MismatchCase> {};

TEST_P(EngineCycleMismatchTest, PlantedFlipIsSeenByTheFirstCheck) {
  const MismatchCase c = GetParam();
  seedRandomAt(run, kSeedTime);
  ASSERT_TRUE(allocateBuffers(run, kEightMiB));
  run.settings.method = c.method;
  run.settings.verbose = c.verbose;
  SubtractiveRandom copy = seededCopy();
  SubtractiveRandom peek = copy;
  const uint64_t first = nextRandom(peek) % kEightMiBWords;
  flipBit3(run.bufferB, first);

  runCycle(oneWorker(run));
  EXPECT_TRUE(run.errorSeen.load());
  EXPECT_EQ(run.cycles.load(), 1u);
  const uint32_t mask = c.method == 1 ? 8 : 0;
  EXPECT_EQ(run.workers[0].stickyMask, mask);
  // Recorded in every mode: where, what the compare read, and the words as
  // read again while the mismatch was handled, before the write.
  const MismatchDetail& d = run.workers[0].errors.detail;
  std::vector<uint64_t> seen{d.addressA.load(), d.addressB.load(), d.valueA.load(),    d.valueB.load(),
                             d.comparedA.load(), d.comparedB.load(), d.kind.load()};
  std::vector<uint64_t> expected{reinterpret_cast<uintptr_t>(&run.bufferA.base[first]),
                                 reinterpret_cast<uintptr_t>(&run.bufferB.base[first]),
                                 kFillWord,
                                 kFillWord ^ 8,
                                 kFillWord,
                                 kFillWord ^ 8,
                                 static_cast<uint8_t>(ErrorKind::mismatch)};
  EXPECT_EQ(seen, expected);
  // The mask is read after the first check, so even the first value has it.
  std::vector<uint32_t> model(kEightMiBWords, kFillWord);
  applyOperations(model, copy, 1u << 20, mask);
  EXPECT_TRUE(holds(run.bufferA, model));
  EXPECT_TRUE(holds(run.bufferB, model));
}

INSTANTIATE_TEST_SUITE_P(MethodsAndVerbosity, EngineCycleMismatchTest,
                         ::testing::Values(MismatchCase{1, 1}, MismatchCase{1, 0}, MismatchCase{0, 0},
                                           MismatchCase{2, 0}, MismatchCase{0, 1}),
                         [](const ::testing::TestParamInfo<MismatchCase>& info) {
                           return "Method" + std::to_string(info.param.method) + "Verbose" +
                                  std::to_string(info.param.verbose);
                         });

// Whether the mapping that holds `address` was advised for transparent huge
// pages ("hg" among its VmFlags in /proc/self/smaps).
bool advisedForHugePages(const volatile void* address) {
  const auto wanted = reinterpret_cast<uintptr_t>(address);
  for (const smaps::Mapping& m : smaps::mappings("/proc/self/smaps"))
    if (m.begin <= wanted && wanted < m.end) return m.hugePagesAdvised;
  return false;
}

// A word count that is no power of two (an index masked instead of reduced
// would show), a fill that ends inside a stretch of its wide stores,
// mappings from huge pages, and a million operations through the ring of
// operations drawn ahead.
TEST_F(EngineCycleTest, CycleOverWordsNoPowerOfTwoWritesWhatTheDrawsChoose) {
  constexpr uint64_t kWords = 3000017;
  seedRandomAt(run, kSeedTime);
  ASSERT_TRUE(allocateBuffers(run, kWords * 8 + 7));
  for (TestBuffer* buffer : {&run.bufferA, &run.bufferB}) {
    EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer->base) % (2 << 20), 0u) << "not on a huge-page boundary";
    EXPECT_TRUE(advisedForHugePages(buffer->base));
  }
  SubtractiveRandom copy = seededCopy();
  std::vector<uint32_t> model(kWords, kFillWord);
  applyOperations(model, copy, run.opsPerCycle, 0);
  runCycle(oneWorker(run));
  EXPECT_TRUE(holds(run.bufferA, model));
  EXPECT_TRUE(holds(run.bufferB, model));
  EXPECT_TRUE(sameGenerator(run.workers[0].generator, copy));
  EXPECT_FALSE(run.errorSeen.load());
}

// A flip planted at the word of one operation of a cycle of 1100 (batches
// of 512 draws, prefetch 32 ahead): the first, the last prefetched before
// the loop and the one after it, the first done after the second batch is
// drawn, the last of the first batch and the first of the next, the first
// of the last (short) batch and the last. That operation's first check sees
// it; in method 1 every value written from that operation on carries the
// flipped bit, and none before it.
class EngineCyclePlantTest : public EngineStateTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(EngineCyclePlantTest, FlipIsSeenByItsOperationAndMarksEveryLaterValue) {
  constexpr uint32_t kOps = 1100;
  const uint32_t plantAt = GetParam();
  seedRandomAt(run, kSeedTime);
  ASSERT_TRUE(allocateBuffers(run, kEightMiB));
  run.settings.method = 1;
  run.settings.verbose = 1;
  run.opsPerCycle = kOps;
  SubtractiveRandom peek = seededCopy();
  std::vector<uint64_t> indexes;
  for (uint32_t op = 0; op < kOps; ++op) {
    indexes.push_back(nextRandom(peek) % kEightMiBWords);
    nextRandom(peek);
  }
  const uint64_t target = indexes[plantAt];
  ASSERT_EQ(std::count(indexes.begin(), indexes.begin() + plantAt, target), 0) << "visited before";
  flipBit3(run.bufferB, target);

  runCycle(oneWorker(run));
  EXPECT_TRUE(run.errorSeen.load());
  EXPECT_EQ(run.workers[0].stickyMask, 8u);
  const MismatchDetail& d = run.workers[0].errors.detail;
  std::vector<uint64_t> seen{d.addressA.load(), d.addressB.load(), d.valueA.load(), d.valueB.load()};
  std::vector<uint64_t> expected{reinterpret_cast<uintptr_t>(&run.bufferA.base[target]),
                                 reinterpret_cast<uintptr_t>(&run.bufferB.base[target]), kFillWord,
                                 kFillWord ^ 8};
  EXPECT_EQ(seen, expected);
  SubtractiveRandom copy = seededCopy();
  std::vector<uint32_t> model(kEightMiBWords, kFillWord);
  applyOperations(model, copy, plantAt, 0);
  applyOperations(model, copy, kOps - plantAt, 8);
  EXPECT_TRUE(holds(run.bufferA, model));
  EXPECT_TRUE(holds(run.bufferB, model));
  EXPECT_TRUE(sameGenerator(run.workers[0].generator, copy));
}

INSTANTIATE_TEST_SUITE_P(AroundTheBatches, EngineCyclePlantTest,
                         ::testing::Values(0u, 31u, 32u, 480u, 511u, 512u, 1024u, 1099u),
                         [](const ::testing::TestParamInfo<uint32_t>& info) {
                           return "Operation" + std::to_string(info.param);
                         });

#if defined(__x86_64__)
// A bit that fails on the read-back after the write, as in a cell that does
// not keep what was written: the first write to B's page faults (the page is
// write-protected), the handler lets the write through and steps over it,
// and the step flips bit 3 of the target word before the read-back. Other
// writes to the page are stepped over and the page protected again.
namespace readback {

constexpr greg_t kTrapFlag = 0x100;
volatile uint32_t* target = nullptr;
void* page = nullptr;
std::atomic<uintptr_t> written{0};
std::atomic<bool> flipped{false};

void onWrite(int, siginfo_t* info, void* context) {
  written = reinterpret_cast<uintptr_t>(info->si_addr);
  mprotect(page, 4096, PROT_READ | PROT_WRITE);
  static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_EFL] |= kTrapFlag;
}

void onStep(int, siginfo_t*, void* context) {
  static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_EFL] &= ~kTrapFlag;
  if (flipped) return;
  if (written == reinterpret_cast<uintptr_t>(target)) {
    *target = *target ^ 8;
    flipped = true;
  } else {
    mprotect(page, 4096, PROT_READ);
  }
}

}  // namespace readback

TEST_F(EngineCycleTest, BitFailingOnTheReadBackIsStickyInEveryLaterValue) {
  constexpr uint32_t kOps = 1100;
  constexpr uint32_t kPlantAt = 480;
  seedRandomAt(run, kSeedTime);
  ASSERT_TRUE(allocateBuffers(run, kEightMiB));
  run.settings.method = 1;
  run.opsPerCycle = kOps;
  SubtractiveRandom peek = seededCopy();
  std::vector<uint64_t> indexes;
  uint32_t plantedValue = 0;
  for (uint32_t op = 0; op < kOps; ++op) {
    indexes.push_back(nextRandom(peek) % kEightMiBWords);
    uint32_t value = nextRandom(peek);
    if (op == kPlantAt) plantedValue = value;
  }
  const uint64_t at = indexes[kPlantAt];
  ASSERT_EQ(std::count(indexes.begin(), indexes.end(), at), 1) << "visited by another operation";

  readback::target = &run.bufferB.base[at];
  readback::page = reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(readback::target) & ~uintptr_t{4095});
  readback::written = 0;
  readback::flipped = false;
  struct sigaction write{}, step{}, oldWrite{}, oldStep{};
  write.sa_sigaction = readback::onWrite;
  step.sa_sigaction = readback::onStep;
  write.sa_flags = step.sa_flags = SA_SIGINFO;
  sigaction(SIGSEGV, &write, &oldWrite);
  sigaction(SIGTRAP, &step, &oldStep);
  mprotect(readback::page, 4096, PROT_READ);
  runCycle(oneWorker(run));
  mprotect(readback::page, 4096, PROT_READ | PROT_WRITE);
  sigaction(SIGSEGV, &oldWrite, nullptr);
  sigaction(SIGTRAP, &oldStep, nullptr);

  ASSERT_TRUE(readback::flipped);
  EXPECT_TRUE(run.errorSeen.load());
  EXPECT_EQ(run.workers[0].stickyMask, 8u);
  const MismatchDetail& d = run.workers[0].errors.detail;
  EXPECT_EQ((std::vector<uint32_t>{d.comparedA, d.comparedB, d.valueA, d.valueB}),
            (std::vector<uint32_t>{plantedValue, plantedValue ^ 8, plantedValue, plantedValue ^ 8}));
  // Every value written after that operation carries the bit.
  SubtractiveRandom copy = seededCopy();
  std::vector<uint32_t> model(kEightMiBWords, kFillWord);
  applyOperations(model, copy, kPlantAt + 1, 0);
  applyOperations(model, copy, kOps - kPlantAt - 1, 8);
  EXPECT_TRUE(holds(run.bufferA, model));
  model[at] ^= 8;
  EXPECT_TRUE(holds(run.bufferB, model));
}
#endif

// Cycles around the lengths of the prefetch distance, of a batch of draws
// and of the ring: the generator stands after each cycle where drawing one
// by one leaves it.
TEST_F(EngineCycleTest, GeneratorAfterEachCycleIsWhereDrawingOneByOneLeavesIt) {
  constexpr uint64_t kWords = 1000;
  for (uint32_t ops : {1u, 2u, 31u, 32u, 33u, 511u, 512u, 513u, 544u, 545u, 1023u, 1024u, 1025u, 3000u}) {
    SCOPED_TRACE(ops);
    TestRun run;
    seedRandomAt(run, kSeedTime);
    ASSERT_TRUE(allocateBuffers(run, kWords * 8));
    run.opsPerCycle = ops;
    SubtractiveRandom copy = seededCopy();
    std::vector<uint32_t> model(kWords, kFillWord);
    for (int cycle = 1; cycle <= 3; ++cycle) {
      runCycle(oneWorker(run));
      applyOperations(model, copy, ops, 0);
      EXPECT_TRUE(sameGenerator(run.workers[0].generator, copy)) << "after cycle " << cycle;
    }
    EXPECT_TRUE(holds(run.bufferA, model));
    EXPECT_TRUE(holds(run.bufferB, model));
  }
}

// Maps both buffers with `words` words without committing them; untouched
// words read zero.
bool mapUntouchedBuffers(TestRun& run, uint64_t words) {
  for (TestBuffer* buffer : {&run.bufferA, &run.bufferB}) {
    void* base = mmap(nullptr, words * 4, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) return false;
    buffer->base = static_cast<volatile uint32_t*>(base);
    buffer->wordCount = words;
  }
  return true;
}

// The first worker's generator drawn one by one, as a stream for IndexDraw.
struct OneByOne {
  SubtractiveRandom& g;
  uint32_t next() { return nextRandom(g); }
};

// One cycle of 1000 operations over large slices, mapped but not committed,
// checked against the draws: up to 2^28 words one draw modulo the words, up
// to 2^32 IndexDraw32, above that IndexDraw (two draws, 64-bit indexes).
class EngineWideCycleTest : public EngineStateTest, public ::testing::WithParamInterface<uint64_t> {};

TEST_P(EngineWideCycleTest, CycleWritesWhereTheIndexDrawSays) {
  const uint64_t words = GetParam();
  seedRandomAt(run, kSeedTime);
  if (!mapUntouchedBuffers(run, words)) GTEST_SKIP() << "cannot map " << words << " words twice";
  run.opsPerCycle = 1000;
  SubtractiveRandom copy = seededCopy();
  OneByOne stream{copy};
  const IndexDraw draw(words);
  const IndexDraw32 draw32(std::min(words, kTwoTo32));
  std::map<uint64_t, uint32_t> model;
  for (int op = 0; op < 1000; ++op) {
    const uint64_t index = words <= (uint64_t{1} << 28) ? nextRandom(copy) % words
                           : words <= kTwoTo32          ? draw32(stream)
                                                        : draw(stream);
    model[index] = nextRandom(copy);
  }
  runCycle(oneWorker(run));
  EXPECT_EQ(run.cycles.load(), 1u);
  EXPECT_FALSE(run.errorSeen.load());
  EXPECT_TRUE(sameGenerator(run.workers[0].generator, copy));
  int wrong = 0;
  for (const auto& [index, value] : model) {
    if (run.bufferA.at(index) != value || run.bufferB.at(index) != value) ++wrong;
  }
  EXPECT_EQ(wrong, 0) << "of " << model.size() << " written words";
}

INSTANTIATE_TEST_SUITE_P(AroundTwoTo28AndTwoTo32, EngineWideCycleTest,
                         ::testing::Values(uint64_t{1} << 28, (uint64_t{1} << 28) + 1, kTwoTo32, 2 * kTwoTo32 + 1));

using EngineWorkerTest = EngineStateTest;

// Waits for `done` for at most 30 seconds.
template <typename Condition>
bool waitFor(Condition done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The worker's test on a thread of its own. A worker that does not end after a stop
// would hang the test binary, so it is ended with a failure instead.
class WorkerThread {
 public:
  explicit WorkerThread(TestRun& run) : run_(run), thread_([this] { runWorker(oneWorker(run_)), ended_ = true; }) {}
  ~WorkerThread() {
    requestStop(run_);
    if (!waitFor([this] { return ended_.load(); })) {
      ADD_FAILURE() << "the worker did not end after the stop";
      std::abort();
    }
    thread_.join();
  }

 private:
  TestRun& run_;
  std::atomic<bool> ended_{false};
  std::thread thread_;
};

void startSmallRun(TestRun& run, int32_t timeout) {
  seedRandomAt(run, kSeedTime);
  ASSERT_TRUE(allocateBuffers(run, 1 << 20));
  run.settings.timeout = timeout;
}

TEST_F(EngineWorkerTest, StopBeforeStartRunsNoCycle) {
  ASSERT_NO_FATAL_FAILURE(startSmallRun(run, 5));
  run.pauseAfterCycle = countingPause;
  run.stopRequested = true;
  runWorker(oneWorker(run));
  EXPECT_EQ(run.cycles.load(), 0u);
  EXPECT_EQ(pauseCalls.load(), 0u);
}

TEST_F(EngineWorkerTest, NoPauseWithoutTimeout) {
  ASSERT_NO_FATAL_FAILURE(startSmallRun(run, 0));
  run.pauseAfterCycle = countingPause;
  {
    WorkerThread worker(run);
    EXPECT_TRUE(waitFor([this] { return run.cycles.load() >= 3; }));
  }
  EXPECT_GE(run.cycles.load(), 3u);
  EXPECT_EQ(pauseCalls.load(), 0u);
  EXPECT_FALSE(run.errorSeen.load());
}

TEST_F(EngineWorkerTest, PauseFollowsEveryCycle) {
  ASSERT_NO_FATAL_FAILURE(startSmallRun(run, 5));
  expectedPause = 5;
  run.pauseAfterCycle = countingPause;
  {
    WorkerThread worker(run);
    EXPECT_TRUE(waitFor([] { return pauseCalls.load() >= 3; }));
  }
  EXPECT_EQ(pauseCalls.load(), run.cycles.load());
  EXPECT_EQ(pausesOutOfStep.load(), 0u);
}

class EngineWorkerPauseTest : public EngineStateTest, public ::testing::WithParamInterface<int32_t> {};

TEST_P(EngineWorkerPauseTest, StopEndsThePauseAtOnce) {
  ASSERT_NO_FATAL_FAILURE(startSmallRun(run, GetParam()));
  auto started = std::chrono::steady_clock::now();
  {
    WorkerThread worker(run);
    ASSERT_TRUE(waitFor([this] { return run.cycles.load() >= 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(run.cycles.load(), 1u) << "the pause ended by itself";
    started = std::chrono::steady_clock::now();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_EQ(run.cycles.load(), 1u);
}

// -1 is taken as 0xFFFFFFFF, the endless pause; the other is ten minutes.
INSTANTIATE_TEST_SUITE_P(EndlessAndLong, EngineWorkerPauseTest, ::testing::Values(-1, 600000));

}  // namespace
}  // namespace kelvaring
