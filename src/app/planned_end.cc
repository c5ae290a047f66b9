#include "app/planned_end.h"

#include "report/results_log.h"
#include "engine/engine.h"
#include "kelvaring/mul_div.h"
#include "kelvaring/state.h"
#include "platform/platform.h"

namespace kelvaring {

uint64_t cycleLimit(uint32_t percent, uint32_t opsPerCycle, uint64_t wordCount) {
  if (percent == 0 || opsPerCycle == 0) return 0;
  // cycles x opsPerCycle x 10 >= percent x wordCount, rounded up; exact
  // for any word count.
  return mulDivUp(percent, wordCount, uint64_t{opsPerCycle} * 10);
}

PlannedEnd::PlannedEnd(uint64_t startedAt, uint32_t minutes)
    : startedAt_(startedAt), milliseconds_(uint64_t{minutes} * 60000) {}

void PlannedEnd::stopWhenDue() {
  if (milliseconds_ == 0 || stopped_) return;
  if (platform::monotonicNanoseconds() / 1000000 - startedAt_ < milliseconds_) return;
  stopped_ = true;
  if (!testState.stopRequested.load(std::memory_order_relaxed)) logStop({.reason = "time"});
  requestStop();
}

void PlannedEnd::logCoverageEnd() {
  const TestState& s = testState;
  if (s.cycleLimit == 0 || s.stopRequested.load(std::memory_order_relaxed)) return;
  if (s.cycles.load(std::memory_order_relaxed) >= s.cycleLimit) logStop({.reason = "coverage"});
}

}  // namespace kelvaring
