// The monitor: the main thread while the workers test. It wakes at the end
// of every 500 ms slice, and when a finder publishes an error, and turns
// what it finds into reports and progress lines.
#pragma once

#include <cstdint>

#include "app/planned_end.h"
#include "app/worker_run.h"
#include "report/error_report.h"
#include "report/failing_pages.h"
#include "report/metrics_file.h"
#include "report/run_records.h"

namespace kelvaring {

inline constexpr uint64_t kPollMilliseconds = 500;

// When a report may be made: at the end of a slice that had none, or at
// once when a finder wakes the monitor and the previous report is at least
// a slice old; never two within 500 ms. Times in monotonic milliseconds.
class ReportPace {
 public:
  // Whether a report may be made now, woken by a finder in the middle of
  // a slice.
  bool mayReportEarly(uint64_t now) const { return !reportedInSlice_ && (!reported_ || now - lastAt_ >= kPollMilliseconds); }
  // Whether the slice that ends now may still report: not when it had a
  // report (it then prints no progress line either).
  bool mayReportAtSliceEnd() const { return !reportedInSlice_; }
  bool reportedInSlice() const { return reportedInSlice_; }
  void reported(uint64_t now) {
    reported_ = reportedInSlice_ = true;
    lastAt_ = now;
  }
  void nextSlice() { reportedInSlice_ = false; }

 private:
  bool reported_ = false;
  bool reportedInSlice_ = false;
  uint64_t lastAt_ = 0;
};

// What the monitor keeps up to date besides the console.
struct MonitorSinks {
  FailingPages& pages;
  EccWatch& ecc;
  ProgressLog& progress;
  PlannedEnd& end;
  MetricsFile& metrics;
};

// Until every worker has ended; then what they found after the last look
// is reported all the same, as are ECC counts that grew.
void monitor(WorkerRun& workers, MonitorSinks sinks);

}  // namespace kelvaring
