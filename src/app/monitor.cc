#include "app/monitor.h"

#include <string>

#include "engine/engine.h"
#include "engine/test_run.h"
#include "kelvaring/state.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "report/console_lines.h"
#include "report/error_drain.h"

namespace kelvaring {
namespace {

// Polls between two reads of the ECC counts: every 5 seconds.
constexpr unsigned kPollsPerEccRead = 10;

uint64_t nowMilliseconds() { return platform::monotonicNanoseconds() / 1000000; }

// One report of everything new in the slots and the ring; false, with no
// report, when nothing new and whole could be read (taken at a later look).
bool reportFound(TestRun& run, ErrorDrain& drain, FailingPages& pages) {
  const FoundErrors found = drain.drain();
  if (found.records.empty()) return false;
  reportErrors(run, found, pages);
  return true;
}

// The end of a slice: a report, or else the ECC counts every few slices,
// or else the progress line; then the log's progress, the planned ends and
// the metrics.
void printProgress(TestRun& s) {
  const uint32_t cycles = s.cycles.load(std::memory_order_relaxed);
  if (!progressInPlace(s.settings)) {
    platform::printOut("%s", timedProgressLine(cycles, coverage(s)).c_str());
    return;
  }
  ++s.spinnerCount;
  platform::printOut("%s", progressLine(cycles, coverage(s), spinnerCharacter(s.spinnerCount)).c_str());
}

void endSlice(TestRun& run, uint64_t now, ErrorDrain& drain, ReportPace& pace, ProgressSchedule& schedule,
              MonitorSinks& sinks) {
  if (pace.mayReportAtSliceEnd() && reportFound(run, drain, sinks.pages)) pace.reported(now);
  if (!pace.reportedInSlice() && ++sinks.ecc.polls % kPollsPerEccRead == 0 && reportEccGrowth(run, sinks.ecc))
    pace.reported(now);
  if (!pace.reportedInSlice() && schedule.due(now)) printProgress(run);
  sinks.progress.logWhenDue();
  sinks.end.stopWhenDue();
  sinks.end.logCoverageEnd();
  sinks.metrics.afterPoll();
}

}  // namespace

void monitor(TestRun& run, WorkerRun& workers, MonitorSinks sinks) {
  ErrorDrain drain(run);
  ReportPace pace;
  platform::Wakeup& wakeup = run.monitorWakeup;
  ProgressSchedule schedule(nowMilliseconds(), run.settings.progress);
  uint64_t sliceEnd = nowMilliseconds() + kPollMilliseconds;
  while (!workers.allEnded()) {
    const uint64_t now = nowMilliseconds();
    if (now < sliceEnd) {
      // A finder's wake-up: a report at once when the pace allows it,
      // else the slice's end takes it. A worker's end wakes it too.
      if (wakeup.wait(static_cast<unsigned>(sliceEnd - now)) && pace.mayReportEarly(nowMilliseconds()) &&
          reportFound(run, drain, sinks.pages))
        pace.reported(nowMilliseconds());
      continue;
    }
    endSlice(run, now, drain, pace, schedule, sinks);
    pace.nextSlice();
    sliceEnd = now + kPollMilliseconds;
  }
  workers.joinAll();
  sinks.end.logCoverageEnd();
  // A mismatch found after the last look, in the cycle completed after a
  // stop for instance, is reported all the same; so are ECC counts that
  // grew since the last read.
  reportFound(run, drain, sinks.pages);
  reportEccGrowth(run, sinks.ecc);
}

}  // namespace kelvaring
