// The results log: one JSON object per line (JSON Lines) for every event of
// a run, appended to the file the `log` setting names, for scripts and the
// tools that collect results from many machines. The console output does
// not change with it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "report/log_events.h"

namespace kelvaring {

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
void logRetire(const RetireEvent& event);
// The summary, followed by fsync.
void logSummary(const SummaryEvent& event);
// Safe in a signal handler: writes the fault's line with write(2) alone.
void logFault(uint32_t code, std::optional<uintptr_t> address);

}  // namespace kelvaring
