// Metrics of a run for Prometheus: a file in its text format, for the node
// exporter's textfile collector (or any other reader), named by the
// `metrics` setting. Each time it is written as a whole new file renamed
// over the old one, so that a reader never sees a part of one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/edac.h"
#include "report/ecc_watch.h"
#include "report/error_report.h"
#include "report/failing_pages.h"

namespace kelvaring {

// What one file tells.
struct RunMetrics {
  std::string version;
  std::string platform;
  uint64_t testBytes = 0;
  double startSeconds = 0;  // wall clock, seconds since 1970
  uint32_t workers = 1;
  uint32_t cycles = 0;
  uint64_t operations = 0;
  uint32_t errors = 0;
  uint64_t mismatchesFound = 0;
  uint64_t failingPages = 0;  // distinct pages with errors, kept in the list or not
  double coverage = 0;          // per cent, unrounded
  double lastErrorSeconds = 0;  // wall clock; 0 before the first report
  // What each module's counts gained during the run; none where the
  // counts are not watched.
  std::optional<std::vector<EccGrowth>> ecc;
  bool running = true;
  std::optional<int> exitStatus;  // once the summary stands; the verdict follows from errors
};

// The file's text: for every metric a HELP and a TYPE line, then its
// samples; base units, counters ending in _total. Label values are escaped
// as the format asks, and bytes that are no valid UTF-8 become U+FFFD.
std::string metricsText(const RunMetrics& metrics);

// The metrics file of this run, kept by the main thread. Without a path
// every call does nothing.
class MetricsFile {
 public:
  explicit MetricsFile(const TestRun& run) : run_(run) {}
  // Before the allocation: the first file, from what is known then. False,
  // with the message on standard error, when it cannot be written.
  bool start(const std::string& path, uint64_t testBytes);
  // From the start of the test on: the ECC counts the gains are counted
  // from, and where the later counts are found.
  void watch(const EccWatch& ecc);
  // From the start of the test on: the failing pages counted.
  void watch(const FailingPages& pages) { pages_ = &pages; }
  // After every poll: a new file at once after an error report, else
  // every 15 seconds.
  void afterPoll();
  // After the summary: the run no longer running, its exit status and its
  // verdict.
  void afterSummary(int status);

 private:
  void write();

  const TestRun& run_;
  std::string path_;
  RunMetrics metrics_;
  const EccWatch* ecc_ = nullptr;
  const FailingPages* pages_ = nullptr;
  std::optional<std::vector<platform::EccCount>> eccAtStart_;
  uint64_t dueAt_ = 0;  // monotonic milliseconds
  bool failureReported_ = false;
};

}  // namespace kelvaring
