#include "app/planned_end.h"

#include "report/results_log.h"
#include "report/run_records.h"
#include "engine/engine.h"
#include "engine/test_run.h"
#include "kelvaring/mul_div.h"
#include "kelvaring/state.h"
#include "platform/clock.h"

namespace kelvaring {

uint64_t cycleLimit(uint32_t percent, uint32_t opsPerCycle, uint64_t wordCount) {
  if (percent == 0 || opsPerCycle == 0) return 0;
  // cycles x opsPerCycle x 10 >= percent x wordCount, rounded up; exact
  // for any word count.
  return mulDivUp(percent, wordCount, uint64_t{opsPerCycle} * 10);
}

PlannedEnd::PlannedEnd(TestRun& run, uint64_t startedAt, uint32_t minutes)
    : run_(run), startedAt_(startedAt), milliseconds_(uint64_t{minutes} * 60000) {}

void PlannedEnd::stopWhenDue() {
  if (milliseconds_ == 0 || stopped_) return;
  if (platform::monotonicNanoseconds() / 1000000 - startedAt_ < milliseconds_) return;
  stopped_ = true;
  logRunStop(run_, {.reason = "time"});
  requestStop(run_);
}

void PlannedEnd::logCoverageEnd() {
  if (run_.limitReached.load(std::memory_order_relaxed)) logRunStop(run_, {.reason = "coverage"});
}

}  // namespace kelvaring
