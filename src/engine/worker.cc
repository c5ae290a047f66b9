// The test worker. runCycle is the product: every read and write below is a
// real access to the buffers (volatile), in the order listed, with no lock,
// system call or allocation between them.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <type_traits>

#include "engine/engine.h"
#include "kelvaring/state.h"
#include "platform/platform.h"
#include "random/remainder.h"
#include "random/subtractive_random.h"

namespace kelvaring {
namespace {

std::mutex pauseLock;
std::condition_variable pauseEnded;

constexpr uint32_t kEndlessPause = 0xFFFFFFFF;

}  // namespace

// Kept out of line: mismatches are rare and the loop stays tight without it.
// The detail is recorded in every mode and complete before errorSeen is set.
void handleMismatch(uint64_t index, uint32_t readA, uint32_t readB, ErrorKind kind) {
  TestState& s = testState;
  if (s.settings.method == 1) {
    uint32_t freshA = s.bufferA.at(index);
    uint32_t freshB = s.bufferB.at(index);
    s.stickyMask |= freshA ^ freshB;
  }
  MismatchDetail& d = s.detail;
  d.addressA.store(reinterpret_cast<uintptr_t>(&s.bufferA.at(index)), std::memory_order_relaxed);
  d.valueA.store(s.bufferA.at(index), std::memory_order_relaxed);
  d.addressB.store(reinterpret_cast<uintptr_t>(&s.bufferB.at(index)), std::memory_order_relaxed);
  d.valueB.store(s.bufferB.at(index), std::memory_order_relaxed);
  d.comparedA.store(readA, std::memory_order_relaxed);
  d.comparedB.store(readB, std::memory_order_relaxed);
  d.kind.store(static_cast<uint8_t>(kind), std::memory_order_relaxed);
  s.errorSeen.store(true, std::memory_order_release);
}

namespace {

// Operations are drawn ahead in batches of kBatch, and the words of the
// operation kPrefetchAhead places on are prefetched: far enough ahead to
// cover a trip to memory. Between batches the loop runs on prefetched words
// with no generator traffic in between; drawing every operation just in
// time measured slower, as the generator's loads and stores then stand
// between the buffer accesses. Each return from drawing to the buffers
// waits about one trip to memory before the prefetches run ahead again, so
// the batches are long: 512 ran 1 to 6 per cent faster than 64 from 64 MiB
// to 8 GiB. The ring holds what is drawn and not yet done (8 or 16 KiB).
constexpr uint32_t kPrefetchAhead = 32;
constexpr uint32_t kBatch = 512;
constexpr uint32_t kRing = 1024;
// A batch no shorter than the look-ahead: the loop below runs up to
// kPrefetchAhead short of the last operation drawn, which must not lie
// before the first one.
static_assert((kRing & (kRing - 1)) == 0 && kBatch + kPrefetchAhead <= kRing && kPrefetchAhead <= kBatch);

// The draws of one operation, made ahead of it. Up to 2^32 words an index
// fits 32 bits, and the ring slot of 8 bytes is written and read with one
// access instead of two (measured 1 to 3 per cent faster).
template <typename Index>
struct Drawn {
  Index index;
  uint32_t value;
};

// The draws are made in the order one by one would make them (index, then
// value) and never past the cycle's last operation, so the generator ends
// where it would have ended. A prefetch is a hint, not an access: the
// accesses themselves are unchanged.
//
// The generator is drawn from a copy on the stack for the length of the
// cycle, and the sticky mask kept in a register between mismatches: the
// compiler then knows that the volatile buffer stores cannot touch them.
template <typename NextIndex>
void runOperations(uint32_t count, NextIndex nextIndex) {
  // The buffers' place and size, kept in registers: the calls on the
  // mismatch path could otherwise change them, as far as the compiler knows.
  volatile uint32_t* const baseA = testState.bufferA.base;
  volatile uint32_t* const baseB = testState.bufferB.base;
  const uint64_t wordsA = testState.bufferA.wordCount;
  const uint64_t wordsB = testState.bufferB.wordCount;
  SubtractiveStream g(randomState);
  uint32_t stickyMask = testState.stickyMask;
  // The slot's index has the type nextIndex gives, so it cannot cut one short.
  using Slot = Drawn<std::invoke_result_t<NextIndex&, SubtractiveStream&>>;
  Slot ring[kRing];
  uint32_t drawn = 0;

  auto drawBatch = [&] {
    const uint32_t upTo = count - drawn < kBatch ? count : drawn + kBatch;
    for (; drawn < upTo; ++drawn) {
      Slot& slot = ring[drawn % kRing];
      slot.index = nextIndex(g);
      slot.value = g.next();
    }
  };
  auto prefetch = [&](const Slot& slot) {
    __builtin_prefetch(const_cast<const uint32_t*>(baseA) + slot.index, 1);
    __builtin_prefetch(const_cast<const uint32_t*>(baseB) + slot.index, 1);
  };
  auto operate = [&](const Slot planned) {
    const uint64_t index = planned.index;
    volatile uint32_t& wordA = TestBuffer::wordAt(baseA, wordsA, index);
    volatile uint32_t& wordB = TestBuffer::wordAt(baseB, wordsB, index);
    uint32_t readA = wordA;
    uint32_t readB = wordB;
    if (readA != readB) [[unlikely]] {
      handleMismatch(index, readA, readB);
      stickyMask = testState.stickyMask;
    }
    const uint32_t value = planned.value | stickyMask;
    wordA = value;
    wordB = value;
    readA = wordA;
    readB = wordB;
    if (readA != readB) [[unlikely]] {
      handleMismatch(index, readA, readB);
      stickyMask = testState.stickyMask;
    }
  };

  // Runs the operations up to `end`, each with the prefetch for the one
  // kPrefetchAhead places on while that one is drawn already.
  uint32_t op = 0;
  auto runUpTo = [&](uint32_t end) {
    const uint32_t prefetched = drawn > kPrefetchAhead ? std::min(end, drawn - kPrefetchAhead) : 0;
    for (; op < prefetched; ++op) {
      prefetch(ring[(op + kPrefetchAhead) % kRing]);
      operate(ring[op % kRing]);
    }
    for (; op < end; ++op) operate(ring[op % kRing]);
  };

  drawBatch();
  for (uint32_t ahead = 0; ahead < drawn && ahead < kPrefetchAhead; ++ahead) prefetch(ring[ahead]);
  // The next batch is drawn when the operations reach kPrefetchAhead short
  // of the last one drawn.
  while (drawn < count) {
    runUpTo(drawn - kPrefetchAhead);
    drawBatch();
  }
  runUpTo(count);
  g.writeBack(randomState);
}
}  // namespace

void (*pauseAfterCycle)(uint32_t milliseconds) = waitForStopOrTimeout;

void runCycle() {
  const uint32_t count = testState.opsPerCycle;
  const uint64_t words = testState.bufferA.wordCount;
  if (count != 0) {
    if (words < (uint64_t{1} << 32)) {
      const RemainderBy remainder(static_cast<uint32_t>(words));
      runOperations(count, [remainder](SubtractiveStream& g) { return remainder(g.next()); });
    } else if (words == (uint64_t{1} << 32)) {
      runOperations(count, [](SubtractiveStream& g) { return g.next(); });
    } else {
      // Past 2^32 words one draw cannot reach every word: a second draw
      // gives the index its high half.
      runOperations(count, [words](SubtractiveStream& g) {
        uint64_t low = g.next();
        uint64_t high = g.next();
        return ((high << 32) | low) % words;
      });
    }
  }
  // The worker is the only writer of cycles.
  testState.cycles.store(testState.cycles.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

void requestStop() {
  testState.stopRequested.store(true, std::memory_order_relaxed);
  // Taking the lock orders the store before a pausing worker's next check.
  { std::lock_guard<std::mutex> hold(pauseLock); }
  pauseEnded.notify_all();
}

void waitForStopOrTimeout(uint32_t milliseconds) {
  std::unique_lock<std::mutex> hold(pauseLock);
  auto stopped = [] { return testState.stopRequested.load(std::memory_order_relaxed); };
  if (milliseconds == kEndlessPause)
    pauseEnded.wait(hold, stopped);
  else
    pauseEnded.wait_for(hold, std::chrono::milliseconds(milliseconds), stopped);
}

void testWorker() {
  const Settings& settings = testState.settings;
  platform::setProcessPriority(settings.processPriorityClass);
  platform::setThreadPriority(settings.threadPriority);
  platform::sleepMilliseconds(10);
  SweepSchedule sweeps(settings.sweep);
  const uint64_t lastCycle = testState.cycleLimit != 0 ? testState.cycleLimit : UINT64_MAX;
  while (!testState.stopRequested.load(std::memory_order_relaxed)) {
    runCycle();
    // A run with a coverage to reach ends after the cycle that reached it.
    if (testState.cycles.load(std::memory_order_relaxed) >= lastCycle) break;
    sweeps.sweepIfDue();
    if (settings.timeout != 0) pauseAfterCycle(static_cast<uint32_t>(settings.timeout));
  }
}

}  // namespace kelvaring
