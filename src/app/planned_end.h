// A run that ends by itself, in order: once its coverage reaches the
// `coverage` setting, or after the `minutes` setting. Such an end prints
// no stop notice; the log's stop record names it.
#pragma once

#include <cstdint>

#include "kelvaring/state.h"

namespace kelvaring {

// The fewest cycles whose coverage (opsPerCycle / wordCount x cycles x 10,
// taken exactly) reaches `percent` per cent; 0, meaning no such end, for 0
// per cent or no operations. At most UINT64_MAX.
uint64_t cycleLimit(uint32_t percent, uint32_t opsPerCycle, uint64_t wordCount);

// The main thread's side of both ends.
class PlannedEnd {
 public:
  // `startedAt`: monotonic milliseconds when the test started.
  PlannedEnd(TestRun& run, uint64_t startedAt, uint32_t minutes);
  // After every poll: once the minutes have passed, the stop record
  // ("time") and the stop request, which the workers follow at the end of
  // their cycles, or at once in a pause.
  void stopWhenDue();
  // At every poll and once the workers have ended: the stop record
  // ("coverage") of a run the workers ended at its cycle limit, unless
  // another end came first.
  void logCoverageEnd();

 private:
  TestRun& run_;
  uint64_t startedAt_;
  uint64_t milliseconds_;  // 0: no time limit
  bool stopped_ = false;
};

}  // namespace kelvaring
