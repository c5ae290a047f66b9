// The test worker. runCycle is the product: every read and write below is a
// real access to the buffers (volatile), in the order listed, with no lock,
// system call or allocation between them.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <type_traits>

#include "engine/engine.h"
#include "engine/test_run.h"
#include "kelvaring/state.h"
#include "platform/threads.h"
#include "random/index_draw.h"
#include "random/remainder.h"
#include "random/subtractive_random.h"

namespace kelvaring {
namespace {

constexpr uint32_t kEndlessPause = 0xFFFFFFFF;

}  // namespace

// Kept out of line: mismatches are rare and the loop stays tight without it.
// The record is published whole, in every mode, before errorSeen is set.
void handleMismatch(Worker& worker, uint64_t index, uint32_t readA, uint32_t readB, ErrorKind kind) {
  TestRun& s = *worker.run;
  if (s.settings.method == 1) {
    uint32_t freshA = s.bufferA.at(index);
    uint32_t freshB = s.bufferB.at(index);
    worker.stickyMask |= freshA ^ freshB;
  }
  ErrorRecord record;
  record.kind = kind;
  record.worker = worker.number;
  record.addressA = reinterpret_cast<uintptr_t>(&s.bufferA.at(index));
  record.valueA = s.bufferA.at(index);
  record.addressB = reinterpret_cast<uintptr_t>(&s.bufferB.at(index));
  record.valueB = s.bufferB.at(index);
  record.comparedA = readA;
  record.comparedB = readB;
  worker.errors.publish(record, s.errorStamps);
  noteErrorPublished(s);
}

void handleReadBack(Worker& worker, uint64_t index, uint32_t readA, uint32_t readB, uint32_t before, uint32_t value,
                    uint32_t replacedAtStart) {
  TestRun& s = *worker.run;
  if (readA == before && readB == value && s.pagesReplaced.load(std::memory_order_acquire) != replacedAtStart) {
    const auto address = reinterpret_cast<uintptr_t>(&s.bufferA.at(index));
    if (address - s.replacedPage.load(std::memory_order_relaxed) < s.replacedBytes.load(std::memory_order_relaxed)) {
      s.bufferA.at(index) = value;
      readA = s.bufferA.at(index);
      readB = s.bufferB.at(index);
      if (readA == readB) return;
    }
  }
  handleMismatch(worker, index, readA, readB);
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
//
// The loop sees the worker's slice as buffers of their own: indexes count
// from the slice's first word and are checked against its size, so that no
// word outside it is ever touched.
template <typename NextIndex>
void runOperations(Worker& worker, uint32_t count, NextIndex nextIndex) {
  // The slice's place and size, kept in registers: the calls on the
  // mismatch path could otherwise change them, as far as the compiler knows.
  const uint64_t first = worker.firstWord;
  const TestRun& run = *worker.run;
  volatile uint32_t* const baseA = run.bufferA.base + first;
  volatile uint32_t* const baseB = run.bufferB.base + first;
  const uint64_t wordsA = std::min(run.bufferA.wordCount, worker.endWord) - first;
  const uint64_t wordsB = std::min(run.bufferB.wordCount, worker.endWord) - first;
  SubtractiveRandom& generator = worker.generator;
  SubtractiveStream g(generator);
  // For a read-back that differs: whether a page was replaced meanwhile.
  const uint32_t replacedAtStart = run.pagesReplaced.load(std::memory_order_relaxed);
  uint32_t stickyMask = worker.stickyMask;
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
  auto operate = [&](const Slot planned) KELVARING_BUFFER_ACCESS {
    const uint64_t index = planned.index;
    volatile uint32_t& wordA = TestBuffer::wordAt(baseA, wordsA, index);
    volatile uint32_t& wordB = TestBuffer::wordAt(baseB, wordsB, index);
    uint32_t readA = wordA;
    uint32_t readB = wordB;
    if (readA != readB) [[unlikely]] {
      handleMismatch(worker, first + index, readA, readB);
      stickyMask = worker.stickyMask;
    }
    const uint32_t before = readB;
    const uint32_t value = planned.value | stickyMask;
    wordA = value;
    wordB = value;
    readA = wordA;
    readB = wordB;
    if (readA != readB) [[unlikely]] {
      handleReadBack(worker, first + index, readA, readB, before, value, replacedAtStart);
      stickyMask = worker.stickyMask;
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
  g.writeBack(generator);
}

// After a store to stopRequested or limitReached: a pausing worker sees it
// at once. Taking the lock orders the store before its next check.
void wakePausingWorkers(TestRun& run) {
  { std::lock_guard<std::mutex> hold(run.pauseLock); }
  run.pauseEnded.notify_all();
}

// Tells the workers that the run's cycle limit is reached: they end before
// their next cycle, and a pause ends at once.
void reachLimit(TestRun& run) {
  if (!run.limitReached.exchange(true, std::memory_order_relaxed)) wakePausingWorkers(run);
}

// Adds the worker's operations to the run's total; the cycles shown are
// the total's whole cycles (modulo 2^32: cycles wrap) and only grow. The
// worker whose operations reach the cycle limit ends the run.
void countCycle(const Worker& worker) {
  TestRun& s = *worker.run;
  if (s.opsPerCycle == 0) {
    // No operations to count: each cycle counts as one.
    s.cycles.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  const uint64_t done = s.operationsDone.fetch_add(worker.opsPerCycle, std::memory_order_relaxed) + worker.opsPerCycle;
  const uint64_t whole = done / s.opsPerCycle;
  uint32_t shown = s.cycles.load(std::memory_order_relaxed);
  while (static_cast<int32_t>(static_cast<uint32_t>(whole) - shown) > 0 &&
         !s.cycles.compare_exchange_weak(shown, static_cast<uint32_t>(whole), std::memory_order_relaxed)) {
  }
  if (s.cycleLimit != 0 && whole >= s.cycleLimit) reachLimit(s);
}
}  // namespace

void runCycle(Worker& worker) {
  const uint32_t count = worker.opsPerCycle;
  const uint64_t words = worker.endWord - worker.firstWord;
  if (count != 0) {
    // Up to 2^28 words per slice (1 GiB) an index is one draw modulo the
    // slice: a word there gets at most 17/16 of another's traffic, and the
    // words a seed writes at those sizes stay fixed. Above, one draw modulo
    // the slice grows far from even: up to 2^32 words a 32-bit draw by
    // multiply-shift with rejection (IndexDraw32, one draw a try, as cheap
    // as the modulo for a slice of a power of two), the index kept to 32
    // bits for the ring's 8-byte slot; above, two draws a try (IndexDraw).
    if (words <= (uint64_t{1} << 28)) {
      const RemainderBy remainder(static_cast<uint32_t>(words));
      runOperations(worker, count, [remainder](SubtractiveStream& g) { return remainder(g.next()); });
    } else if (words <= (uint64_t{1} << 32)) {
      runOperations(worker, count, IndexDraw32(words));
    } else {
      runOperations(worker, count, IndexDraw(words));
    }
  }
  countCycle(worker);
}

void requestStop(TestRun& run) {
  run.stopRequested.store(true, std::memory_order_relaxed);
  wakePausingWorkers(run);
}

void waitForStopOrTimeout(TestRun& run, uint32_t milliseconds) {
  std::unique_lock<std::mutex> hold(run.pauseLock);
  auto ending = [&run] { return runEnding(run); };
  if (milliseconds == kEndlessPause)
    run.pauseEnded.wait(hold, ending);
  else
    run.pauseEnded.wait_for(hold, std::chrono::milliseconds(milliseconds), ending);
}

namespace {

// Cycles (and sweeps when due) until a stop is requested or the run's
// operations reach its cycle limit. The limit is looked at before every
// cycle, after every sweep and in a pause, so that no worker starts a
// further share once it is reached.
void work(Worker& worker) {
  TestRun& run = *worker.run;
  const Settings& settings = run.settings;
  platform::sleepMilliseconds(10);
  SweepSchedule sweeps(settings.sweep);
  auto limitReached = [&run] { return run.limitReached.load(std::memory_order_relaxed); };
  while (!runEnding(run)) {
    runCycle(worker);
    if (limitReached()) break;
    sweeps.sweepIfDue(worker);
    if (limitReached()) break;
    if (settings.timeout != 0) run.pauseAfterCycle(run, static_cast<uint32_t>(settings.timeout));
  }
}

}  // namespace

void runWorker(Worker& worker) {
  platform::setThreadPriority(worker.run->settings.threadPriority);
  work(worker);
}

}  // namespace kelvaring
