// The results log of this run, as the main thread keeps it: opened before
// the allocation, the start record after it, progress once a minute, the
// stop signal, the fault and the summary.
#pragma once

#include <cstdint>
#include <string>

#include "report/failing_pages.h"
#include "kelvaring/state.h"
#include "report/log_events.h"

namespace kelvaring {

// Opens the log the settings name, if any, and makes it the run's fault
// witness; false, with the message on standard error, when it cannot be
// opened.
bool openRunLog(TestRun& run, const std::string& path);

// The start record: the machine, the test and the buffers as they came.
// False, with the message on standard error, when it cannot be written.
bool logRunStart(const TestRun& run, uint64_t bytes, bool eccWatched);

// Progress once a minute, counted from the start of the test.
class ProgressLog {
 public:
  ProgressLog(const TestRun& run, uint64_t startedAt) : run_(run), at_(startedAt) {}
  void logWhenDue();

 private:
  const TestRun& run_;
  uint64_t at_;  // monotonic milliseconds of the latest record
  uint32_t cycles_ = 0;
};

// The stop's record of whatever ends the run first (errmax, the minutes,
// the coverage or a stop signal); the others that follow leave no record.
// Any thread (the stop handler's included).
void logRunStop(TestRun& run, const StopEvent& event);

// The stop handler: for a control type that stops the run, the stop's
// record in the log and the notice on the console, both before the stop
// itself, so that they come before the summary. It acts on the active run.
bool logStopAndHandle(uint32_t controlType);

// The summary, with the exit status the run ends with.
void logRunSummary(const TestRun& run, uint64_t startedAt, int status, const FailingPages& pages);

}  // namespace kelvaring
