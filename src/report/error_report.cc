#include "platform/clock.h"
#include "platform/console.h"
#include "platform/edac.h"
#include "platform/memory.h"
#include "report/error_report.h"

#include <string>

#include "report/console_lines.h"
#include "report/ecc_watch.h"
#include "report/results_log.h"
#include "report/run_records.h"
#include "engine/engine.h"
#include "engine/test_run.h"
#include "kelvaring/state.h"
#include "kelvaring/text.h"

namespace kelvaring {
namespace {

constexpr unsigned kBeepFrequency = 880;
constexpr unsigned kBeepMilliseconds = 200;

void print(const std::string& line) { platform::printOut("%s", line.c_str()); }

// The parts every error report shares: the count, the error line and the
// title first; the bell and the error limit last.
ErrorEvent beginReport(TestRun& s, ErrorKind kind) {
  ++s.errors;
  ErrorEvent event;
  event.kind = kind;
  event.errors = s.errors;
  event.cycles = s.cycles.load(std::memory_order_relaxed);
  event.coverage = coverage(s);
  print(errorLine(s.errors, event.cycles, event.coverage, progressInPlace(s.settings)));
  Text title;
  title.format("%s - %i errors", kProgramName, static_cast<int32_t>(s.errors));
  platform::setConsoleTitle(title.c_str());
  return event;
}

void endReport(TestRun& s) {
  const Settings& settings = s.settings;
  if (settings.signal != 0) platform::beep(kBeepFrequency, kBeepMilliseconds);
  if (settings.errmax != 0 && s.errors >= static_cast<uint32_t>(settings.errmax)) {
    logRunStop(s, {});
    requestStop(s);
  }
}

// A rise of corrected-error counts alone with `eccfail=0`: no error
// report, so neither counted nor numbered, with no title nor bell; its
// module lines are printed (in place, over the progress line, which is
// shorter than any of them) and it is logged as not counted.
ErrorEvent uncountedEccEvent(const TestRun& run) {
  ErrorEvent event;
  event.kind = ErrorKind::ecc;
  event.counted = false;
  event.errors = run.errors;
  event.cycles = run.cycles.load(std::memory_order_relaxed);
  event.coverage = coverage(run);
  if (progressInPlace(run.settings)) print("\r");
  return event;
}

// Uncorrected errors always count; corrected ones unless `eccfail=0`.
bool countsAsError(const Settings& settings, const std::vector<EccGrowth>& grown) {
  if (settings.eccfail != 0) return true;
  for (const EccGrowth& g : grown)
    if (g.uncorrected != 0) return true;
  return false;
}

// The log's record of one drained record: where, what was read and how
// many mismatches its finder counted since its previous record. With
// `event` the report's common part.
ErrorEvent recordEvent(const Settings& settings, ErrorEvent event, const FoundRecord& found) {
  const ErrorRecord& d = found.record;
  event.kind = d.kind;
  if (workersAsked(settings.workers)) event.worker = d.worker;
  event.mismatches = found.mismatches;
  event.virtualA = d.addressA;
  event.virtualB = d.addressB;
  event.valueA = d.valueA;
  event.valueB = d.valueB;
  // Looked up here, on the main thread, never by the finder.
  event.physicalA = platform::physicalAddress(d.addressA);
  event.physicalB = platform::physicalAddress(d.addressB);
  if (d.kind == ErrorKind::hardware) {
    event.pageSize = uint64_t{1} << d.pageShift;
  } else {
    event.comparedA = d.comparedA;
    event.comparedB = d.comparedB;
    event.failingBits = d.comparedA ^ d.comparedB;
  }
  return event;
}

// A record into the failing pages: a hardware memory error's page (taken
// out of service by the kernel and replaced by the run), else the pages of
// both words of the pair, as a compare cannot tell which of the two changed.
void notePages(FailingPages& pages, const FoundRecord& found, const ErrorEvent& event) {
  const ErrorRecord& d = found.record;
  const int64_t now = platform::epochMilliseconds();
  if (d.kind == ErrorKind::hardware) {
    pages.add(d.hardwareAddress, false, found.mismatches, 0, kFoundByHardware, now, true);
    return;
  }
  const uint8_t by = d.kind == ErrorKind::sweep ? kFoundBySweep : kFoundByCompare;
  for (auto [physical, virtualAddress] : {std::pair{event.physicalA, d.addressA}, std::pair{event.physicalB, d.addressB}})
    pages.add(physical.value_or(virtualAddress), physical.has_value(), found.mismatches, *event.failingBits, by, now);
}

}  // namespace

void reportErrors(TestRun& run, const FoundErrors& found, FailingPages& pages) {
  if (found.records.empty()) return;
  const bool verbose = run.settings.verbose != 0;
  const ErrorRecord& d = found.newest();
  const ErrorEvent report = beginReport(run, d.kind);
  for (const FoundRecord& record : found.records) {
    const bool newest = &record.record == &d;
    const ErrorEvent event = recordEvent(run.settings, report, record);
    if (newest && verbose) {
      char now[9];
      print(detailLine(d.addressA, d.valueA, d.addressB, d.valueB, timeOfDayText(now)));
      if (d.kind == ErrorKind::hardware) {
        const TestBuffer& a = run.bufferA;
        const bool inA = d.hardwareAddress - reinterpret_cast<uintptr_t>(a.base) < a.wordCount * 4;
        print(hardwareErrorLine(d.hardwareAddress, inA ? 'A' : 'B', *event.pageSize));
      } else {
        print(locationLine(event.physicalA, event.physicalB, *event.failingBits));
      }
    }
    logError(event);
    notePages(pages, record, event);
  }
  endReport(run);
}

bool reportEccGrowth(TestRun& run, EccWatch& ecc) {
  if (!ecc.counts) return false;
  std::optional<std::vector<platform::EccCount>> now =
      ecc.root.empty() ? platform::readEccCounts() : platform::readEccCounts(ecc.root);
  if (!now) return false;
  std::vector<EccGrowth> grown = eccGrowth(*ecc.counts, *now);
  ecc.counts = std::move(now);
  if (grown.empty()) return false;
  const bool counted = countsAsError(run.settings, grown);
  ErrorEvent event = counted ? beginReport(run, ErrorKind::ecc) : uncountedEccEvent(run);
  for (const EccGrowth& g : grown) print(eccLine(g.controller, g.label, g.corrected, g.uncorrected));
  event.ecc = std::move(grown);
  logError(event);
  if (counted) endReport(run);
  return true;
}

}  // namespace kelvaring
