// The results log: one JSON object per line (JSON Lines) for every event of
// a run, appended to the file the `log` setting names, for scripts and the
// tools that collect results from many machines. The console output does
// not change with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/ecc_watch.h"
#include "kelvaring/state.h"

namespace kelvaring {

// The exit status of a run whose log cannot be opened or written at the
// start (the sysexits code for an output file that cannot be created).
inline constexpr int kLogFailedStatus = 73;

// --- JSON text ----------------------------------------------------------------

// The length of the valid UTF-8 sequence of two to four bytes at `at`, or 0.
size_t utf8SequenceLength(const unsigned char* at, size_t left);

// The length of the valid UTF-8 sequence of two to four bytes at `at`, or 0.
size_t utf8SequenceLength(const unsigned char* at, size_t left);

// Appends `text` as a JSON string, quotes included. Quotes, backslashes and
// control characters are escaped (\b \f \n \r \t, else \u00XX); valid UTF-8
// passes as it is; a byte that is not part of valid UTF-8 becomes \u00XX,
// its value taken as the code point, so that the line stays valid JSON.
void appendJsonString(std::string& out, std::string_view text);

// ISO 8601 local time with the UTC offset, to the millisecond, as
// "2026-12-07T13:05:09.042+01:00" (kIsoTimeLength characters, no
// terminator). Allocates nothing: usable while a fault is handled.
inline constexpr size_t kIsoTimeLength = 29;
void formatIsoTime(int64_t epochMilliseconds, int32_t utcOffsetSeconds, char* out);

// --- Events -------------------------------------------------------------------

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
  uint32_t errors = 0;  // the report's number
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

struct SummaryEvent {
  uint32_t errors = 0;
  uint32_t cycles = 0;
  double coverage = 0;
  double durationSeconds = 0;
  int status = 0;
};

// One line of the log, ending with "\n", for an event at the given time
// (formatIsoTime).
std::string startJson(const StartEvent& event, std::string_view time);
std::string progressJson(const ProgressEvent& event, std::string_view time);
std::string errorJson(const ErrorEvent& event, std::string_view time);
std::string stopJson(const StopEvent& event, std::string_view time);
std::string summaryJson(const SummaryEvent& event, std::string_view time);
// The fault's line into `out` (at least kFaultJsonSize characters); returns
// its length. Allocates nothing. The address is given for access violations.
inline constexpr size_t kFaultJsonSize = 128;
size_t formatFaultJson(uint32_t code, std::optional<uintptr_t> address, std::string_view time, char* out);

// --- The log of this run --------------------------------------------------------

// Opens the file for appending before anything is allocated; false, with
// the message for standard error, when it cannot be opened.
bool openResultsLog(const std::string& path, std::string& message);
bool resultsLogOpen();
// Closes it; openResultsLog does so first (a run keeps it open to its end).
void closeResultsLog();

// Each writes its line at once, whole. A failed write is reported on
// standard error once per run; the run goes on. logStart instead returns
// false, with the message, so that the run can end before its test.
bool logStart(const StartEvent& event, std::string& message);
void logProgress(const ProgressEvent& event);
void logError(const ErrorEvent& event);
void logStop(const StopEvent& event);
// The summary, followed by fsync.
void logSummary(const SummaryEvent& event);
// Safe in a signal handler: writes the fault's line with write(2) alone.
void logFault(uint32_t code, std::optional<uintptr_t> address);

}  // namespace kelvaring
