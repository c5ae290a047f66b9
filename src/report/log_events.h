// The events of a run, each formatted as one line of the results log: a
// JSON object (JSON Lines) with the event's name and time first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "report/ecc_watch.h"
#include "report/failing_pages.h"
#include "kelvaring/state.h"

namespace kelvaring {

struct StartEvent {
  std::string version;
  std::string host;
  std::string kernel;
  uint64_t testBytes = 0;
  uint64_t wordsPerBuffer = 0;
  uint32_t opsPerCycle = 0;
  std::optional<uint32_t> workers;  // given when the settings ask for a number
  Settings settings;
  uintptr_t bufferA = 0;
  uintptr_t bufferB = 0;
  double hugePageShare = 0;  // 0 to 1
  bool locked = false;
  bool eccWatched = false;
};

struct ProgressEvent {
  uint32_t cycles = 0;
  double coverage = 0;
  double opsPerSecond = 0;
};

// One error report, filled by its caller with what is known of it; what is
// not known stays empty and is left out of the line.
struct ErrorEvent {
  ErrorKind kind = ErrorKind::mismatch;
  std::optional<uint32_t> worker;  // whose slice, when the settings ask for workers
  // Mismatches its finder counted since its previous record, this one
  // included (several may come between two looks of the monitor).
  std::optional<uint64_t> mismatches;
  uint32_t errors = 0;  // the report's number
  // False for corrected ECC errors that `eccfail=0` does not count: the
  // record then has "counted":false in place of a number.
  bool counted = true;
  uint32_t cycles = 0;
  double coverage = 0;
  std::optional<uintptr_t> virtualA, virtualB;
  std::optional<uint64_t> physicalA, physicalB;
  std::optional<uint32_t> comparedA, comparedB;  // what the failing compare read
  std::optional<uint32_t> valueA, valueB;        // read again afterwards
  std::optional<uint32_t> failingBits;
  std::optional<uint64_t> pageSize;  // of a hardware memory error
  std::vector<EccGrowth> ecc;  // the modules whose counts grew
};

struct StopEvent {
  const char* signal = nullptr;  // the stop signal; null: the run asked for its own stop
  const char* reason = "errmax";  // without a signal: "errmax", "coverage" or "time"
};

// A failing page taken out of service, or why none can be.
struct RetireEvent {
  std::optional<uint64_t> page;  // none: retirement is not available
  const char* outcome = "retired";  // "retired", "already_retired", "refused" or "unavailable"
  std::string reason;               // for refused and unavailable
};

struct SummaryEvent {
  uint32_t errors = 0;
  uint64_t mismatchesFound = 0;  // every mismatch counted, reported or not
  uint32_t cycles = 0;
  double coverage = 0;
  double durationSeconds = 0;
  int status = 0;
  // The pages where errors were found; none: an empty list.
  const FailingPages* pages = nullptr;
  int32_t utcOffsetSeconds = 0;  // for the pages' times
};

// One line of the log, ending with "\n", for an event at the given time
// (formatIsoTime).
std::string startJson(const StartEvent& event, std::string_view time);
std::string progressJson(const ProgressEvent& event, std::string_view time);
std::string errorJson(const ErrorEvent& event, std::string_view time);
std::string stopJson(const StopEvent& event, std::string_view time);
std::string retireJson(const RetireEvent& event, std::string_view time);
std::string summaryJson(const SummaryEvent& event, std::string_view time);
// The fault's line into `out` (at least kFaultJsonSize characters); returns
// its length. Allocates nothing. The address is given for access violations.
inline constexpr size_t kFaultJsonSize = 128;
size_t formatFaultJson(uint32_t code, std::optional<uintptr_t> address, std::string_view time, char* out);

}  // namespace kelvaring
