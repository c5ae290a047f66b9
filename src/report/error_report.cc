#include "report/error_report.h"

#include <string>
#include <thread>

#include "report/console_lines.h"
#include "report/ecc_watch.h"
#include "report/results_log.h"
#include "engine/engine.h"
#include "kelvaring/state.h"
#include "kelvaring/text.h"

namespace kelvaring {
namespace {

constexpr unsigned kBeepFrequency = 880;
constexpr unsigned kBeepMilliseconds = 200;

void print(const std::string& line) { platform::printOut("%s", line.c_str()); }

// The parts every error report shares: the count, the error line and the
// title first; the bell and the error limit last.
ErrorEvent beginReport(ErrorKind kind) {
  TestState& s = testState;
  ++s.errors;
  ErrorEvent event;
  event.kind = kind;
  event.errors = s.errors;
  event.cycles = s.cycles.load(std::memory_order_relaxed);
  event.coverage = coverage();
  print(errorLine(s.errors, event.cycles, event.coverage));
  Text title;
  title.format("%s - %i errors", kProgramName, static_cast<int32_t>(s.errors));
  platform::setConsoleTitle(title.c_str());
  return event;
}

void endReport(const ErrorEvent& event) {
  TestState& s = testState;
  const Settings& settings = s.settings;
  logError(event);
  if (settings.signal != 0) platform::beep(kBeepFrequency, kBeepMilliseconds);
  if (settings.errmax != 0 && s.errors >= static_cast<uint32_t>(settings.errmax)) {
    if (s.errors == static_cast<uint32_t>(settings.errmax)) logStop({});
    requestStop();
  }
}

// A slot found in the middle of a publication is looked at again this
// often; a publication takes a few dozen stores.
constexpr int kReadAttempts = 1000;

}  // namespace

std::optional<ErrorRecord> ErrorReader::newest() {
  const WorkerTeam& team = testState.workers;
  seen_.resize(team.count(), 0);
  std::optional<ErrorRecord> newest;
  for (uint32_t k = 0; k < team.count(); ++k) {
    ErrorRecord record;
    uint32_t sequence = 0;
    bool read = false;
    for (int attempt = 0; attempt < kReadAttempts && !read; ++attempt) {
      read = team[k].errors.read(record, sequence);
      if (!read) std::this_thread::yield();
    }
    if (!read || sequence == seen_[k]) continue;
    seen_[k] = sequence;
    // Stamps are handed out in order of publication (modulo 2^32).
    if (!newest || static_cast<int32_t>(record.stamp - newest->stamp) > 0) newest = record;
  }
  return newest;
}

void reportError(ErrorReader& reader) {
  const bool verbose = testState.settings.verbose != 0;
  const ErrorRecord d = reader.newest().value_or(ErrorRecord{});
  ErrorEvent event = beginReport(d.kind);
  if (workersAsked(testState.settings.workers) && d.addressA != 0) event.worker = d.worker;
  if (verbose) {
    char now[9];
    print(detailLine(d.addressA, d.valueA, d.addressB, d.valueB, timeOfDayText(now)));
  }
  if (d.addressA != 0) {
    event.virtualA = d.addressA;
    event.virtualB = d.addressB;
    event.valueA = d.valueA;
    event.valueB = d.valueB;
    // Looked up here, on the main thread, never by the finder.
    if (verbose || resultsLogOpen()) {
      event.physicalA = platform::physicalAddress(d.addressA);
      event.physicalB = platform::physicalAddress(d.addressB);
    }
  }
  if (event.kind == ErrorKind::hardware) {
    event.pageSize = uint64_t{1} << d.pageShift;
    const TestBuffer& a = testState.bufferA;
    const bool inA = d.hardwareAddress - reinterpret_cast<uintptr_t>(a.base) < a.wordCount * 4;
    if (verbose) print(hardwareErrorLine(d.hardwareAddress, inA ? 'A' : 'B', *event.pageSize));
  } else if (d.addressA != 0) {
    event.comparedA = d.comparedA;
    event.comparedB = d.comparedB;
    event.failingBits = *event.comparedA ^ *event.comparedB;
    if (verbose) print(locationLine(event.physicalA, event.physicalB, *event.failingBits));
  }
  endReport(event);
}

bool reportEccGrowth(EccWatch& ecc) {
  if (!ecc.counts) return false;
  std::optional<std::vector<platform::EccCount>> now = platform::readEccCounts();
  if (!now) return false;
  std::vector<EccGrowth> grown = eccGrowth(*ecc.counts, *now);
  ecc.counts = std::move(now);
  if (grown.empty()) return false;
  ErrorEvent event = beginReport(ErrorKind::ecc);
  for (const EccGrowth& g : grown) print(eccLine(g.controller, g.label, g.corrected, g.uncorrected));
  event.ecc = std::move(grown);
  endReport(event);
  return true;
}

}  // namespace kelvaring
