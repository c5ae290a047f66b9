// The test engine: the two test buffers and the worker that hammers them.
#pragma once

#include <cstdint>

#include "kelvaring/state.h"

namespace kelvaring {

inline constexpr uint32_t kFillWord = 0x00000045;
inline constexpr uint64_t kLongCycleThreshold = 0x10000000;  // 256 MiB
inline constexpr uint32_t kShortCycleOps = 0x100000;
inline constexpr uint32_t kLongCycleOps = 0xA00000;

// Splits `bytes` into two buffers of bytes / 8 words each, fills both with
// the fill word, locks both in RAM where permitted and prints the allocation
// line (with verbose, then whether the buffers are locked). False, with
// nothing printed, when either buffer cannot be obtained.
bool allocateBuffers(uint64_t bytes);

// One test cycle of opsPerCycle random operations; worker thread only.
void runCycle();

// The worker thread's entry: priorities, a short pause, then cycles until a
// stop is requested or cycles reaches testState.cycleLimit (when not 0),
// with a compare sweep between cycles when one is due.
void testWorker();

// The worker's handling of a mismatch at `index`, where the compare read
// readA from A and readB from B: in method 1 adds the differing bits of the
// words read again to the sticky mask, records the detail (addresses, the
// words read again, the compared values, what found it), and then sets
// errorSeen. Worker thread only.
[[gnu::noinline, gnu::cold]] void handleMismatch(uint64_t index, uint32_t readA, uint32_t readB,
                                                 ErrorKind kind = ErrorKind::mismatch);

// One compare sweep: buffer A against buffer B, in order over every word,
// read only. A pair that differs is handled as a mismatch (kind sweep), and
// then B's word gets A's value so that the pair agrees again. Looks at
// stopRequested every few MiB; false when a stop request cut it short.
bool sweepBuffers();

// How long the worker runs on after a sweep that took sweepNanoseconds,
// before the next is due, so that sweeps take `percent` (1..100) of its time.
uint64_t sweepInterval(uint64_t sweepNanoseconds, uint32_t percent);

// Runs sweeps between the worker's cycles at a share of its time. With 0 per
// cent it never sweeps and never reads the clock.
class SweepSchedule {
 public:
  explicit SweepSchedule(int32_t percent) : percent_(percent <= 0 ? 0 : percent >= 100 ? 100 : uint32_t(percent)) {}
  // A sweep now, if the time since the last one allows it; the first
  // comes after the first cycle.
  void sweepIfDue();

 private:
  uint32_t percent_;
  uint64_t due_ = 0;  // monotonic nanoseconds
};

// Asks the worker to end after its current cycle; ends a pause at once.
// Callable from any thread except from inside a signal handler.
void requestStop();

// The pause after a cycle; replaceable so that tests can watch it.
extern void (*pauseAfterCycle)(uint32_t milliseconds);
void waitForStopOrTimeout(uint32_t milliseconds);

}  // namespace kelvaring
