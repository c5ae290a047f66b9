// The test engine: the two test buffers and the worker that hammers them.
#pragma once

#include <cstdint>

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

// Records a mismatch of word `index` (the detail, then errorSeen): the
// values the failing compare read, where the words lie and what they hold
// when read again. Worker thread only.
void handleMismatch(uint64_t index, uint32_t readA, uint32_t readB);

// One test cycle of opsPerCycle random operations; worker thread only.
void runCycle();

// The worker thread's entry: priorities, a short pause, then cycles until a
// stop is requested.
void testWorker();

// Asks the worker to end after its current cycle; ends a pause at once.
// Callable from any thread except from inside a signal handler.
void requestStop();

// The pause after a cycle; replaceable so that tests can watch it.
extern void (*pauseAfterCycle)(uint32_t milliseconds);
void waitForStopOrTimeout(uint32_t milliseconds);

}  // namespace kelvaring
