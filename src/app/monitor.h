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

// When a slice that made no report prints its progress line: every one
// while the line is rewritten in place (`progress` 0 or negative); with
// `progress` N > 0, the first at or after each N seconds from the start
// (a later slice when a report took that one). Times in monotonic
// milliseconds.
class ProgressSchedule {
 public:
  ProgressSchedule(uint64_t start, int32_t seconds)
      : period_(seconds > 0 ? static_cast<uint64_t>(seconds) * 1000 : 0), dueAt_(start + period_) {}
  // Whether the line is printed at `now`; if so, the next one falls due at
  // the first multiple of the period after `now`.
  bool due(uint64_t now) {
    if (period_ == 0) return true;
    if (now < dueAt_) return false;
    dueAt_ += (now - dueAt_) / period_ * period_ + period_;
    return true;
  }

 private:
  uint64_t period_;
  uint64_t dueAt_;
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
void monitor(TestRun& run, WorkerRun& workers, MonitorSinks sinks);

}  // namespace kelvaring
