#include "app/error_report.h"

#include <string>

#include "app/ecc_watch.h"
#include "app/report.h"
#include "app/results_log.h"
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

void clearDetail(MismatchDetail& d) {
  d.addressA.store(0, std::memory_order_relaxed);
  d.valueA.store(0, std::memory_order_relaxed);
  d.addressB.store(0, std::memory_order_relaxed);
  d.valueB.store(0, std::memory_order_relaxed);
  d.comparedA.store(0, std::memory_order_relaxed);
  d.comparedB.store(0, std::memory_order_relaxed);
  d.kind.store(0, std::memory_order_relaxed);
  d.hardwareAddress.store(0, std::memory_order_relaxed);
  d.pageShift.store(0, std::memory_order_relaxed);
}

}  // namespace

void reportError() {
  MismatchDetail& d = testState.detail;
  const bool verbose = testState.settings.verbose != 0;
  ErrorEvent event = beginReport(static_cast<ErrorKind>(d.kind.load(std::memory_order_relaxed)));
  const uintptr_t addressA = d.addressA.load(std::memory_order_relaxed);
  const uintptr_t addressB = d.addressB.load(std::memory_order_relaxed);
  const uint32_t valueA = d.valueA.load(std::memory_order_relaxed);
  const uint32_t valueB = d.valueB.load(std::memory_order_relaxed);
  if (verbose) {
    char now[9];
    print(detailLine(addressA, valueA, addressB, valueB, timeOfDayText(now)));
  }
  if (addressA != 0) {
    event.virtualA = addressA;
    event.virtualB = addressB;
    event.valueA = valueA;
    event.valueB = valueB;
    // Looked up here, on the main thread, never by the finder.
    if (verbose || resultsLogOpen()) {
      event.physicalA = platform::physicalAddress(addressA);
      event.physicalB = platform::physicalAddress(addressB);
    }
  }
  if (event.kind == ErrorKind::hardware) {
    const uintptr_t address = d.hardwareAddress.load(std::memory_order_relaxed);
    event.pageSize = uint64_t{1} << d.pageShift.load(std::memory_order_relaxed);
    const TestBuffer& a = testState.bufferA;
    const bool inA = address - reinterpret_cast<uintptr_t>(a.base) < a.wordCount * 4;
    if (verbose) print(hardwareErrorLine(address, inA ? 'A' : 'B', *event.pageSize));
  } else if (addressA != 0) {
    event.comparedA = d.comparedA.load(std::memory_order_relaxed);
    event.comparedB = d.comparedB.load(std::memory_order_relaxed);
    event.failingBits = *event.comparedA ^ *event.comparedB;
    if (verbose) print(locationLine(event.physicalA, event.physicalB, *event.failingBits));
  }
  clearDetail(d);
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
