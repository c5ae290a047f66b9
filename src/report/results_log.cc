// The results log: the file the events' lines are appended to.
#include "report/results_log.h"

#include <atomic>
#include <cstring>

#include "report/json_line.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/files.h"

namespace kelvaring {

namespace {

struct OpenLog {
  int fd = -1;
  std::string path;
  // Ready-made for the fault path, which cannot format with allocation.
  std::string writeFailedPrefix;
  std::atomic<bool> failureReported{false};
  // The UTC offset of the latest event, for the fault path, which cannot
  // ask for the local time.
  std::atomic<int32_t> utcOffset{0};
};
OpenLog theLog;

std::string nowText() {
  platform::WallClock clock = platform::wallClock();
  theLog.utcOffset.store(clock.utcOffsetSeconds, std::memory_order_relaxed);
  char text[kIsoTimeLength];
  formatIsoTime(clock.epochMilliseconds, clock.utcOffsetSeconds, text);
  return std::string(text, kIsoTimeLength);
}

std::string writeFailedMessage(const std::string& path, const char* reason) {
  return "Log file " + path + " cannot be written: " + reason + "\n";
}

// Writes one line; a failure is reported once per run.
bool writeLine(const std::string& line) {
  if (theLog.fd < 0) return true;
  if (platform::writeLogText(theLog.fd, line.data(), line.size())) return true;
  const char* reason = platform::lastErrorText();
  if (!theLog.failureReported.exchange(true)) platform::printErr("%s", writeFailedMessage(theLog.path, reason).c_str());
  return false;
}

}  // namespace

bool openResultsLog(const std::string& path, std::string& message) {
  std::string reason;
  int fd = platform::openLogFile(path, reason);
  if (fd < 0) {
    message = "Log file " + path + " cannot be opened: " + reason + "\n";
    return false;
  }
  closeResultsLog();
  // The fault path takes the UTC offset from here until the first event.
  theLog.utcOffset.store(platform::wallClock().utcOffsetSeconds, std::memory_order_relaxed);
  theLog.fd = fd;
  theLog.path = path;
  theLog.writeFailedPrefix = "Log file " + path + " cannot be written: ";
  theLog.failureReported = false;
  return true;
}

bool resultsLogOpen() { return theLog.fd >= 0; }

void closeResultsLog() {
  if (theLog.fd >= 0) platform::closeLogFile(theLog.fd);
  theLog.fd = -1;
}

bool logStart(const StartEvent& event, std::string& message) {
  if (theLog.fd < 0) return true;
  std::string line = startJson(event, nowText());
  if (platform::writeLogText(theLog.fd, line.data(), line.size())) return true;
  message = writeFailedMessage(theLog.path, platform::lastErrorText());
  return false;
}

void logProgress(const ProgressEvent& event) {
  if (theLog.fd >= 0) writeLine(progressJson(event, nowText()));
}

void logError(const ErrorEvent& event) {
  if (theLog.fd >= 0) writeLine(errorJson(event, nowText()));
}

void logStop(const StopEvent& event) {
  if (theLog.fd >= 0) writeLine(stopJson(event, nowText()));
}

void logRetire(const RetireEvent& event) {
  if (theLog.fd >= 0) writeLine(retireJson(event, nowText()));
}

void logSummary(const SummaryEvent& event) {
  if (theLog.fd < 0) return;
  if (writeLine(summaryJson(event, nowText())) && !platform::syncLogFile(theLog.fd)) {
    const char* reason = platform::lastErrorText();
    if (!theLog.failureReported.exchange(true)) platform::printErr("%s", writeFailedMessage(theLog.path, reason).c_str());
  }
}

void logFault(uint32_t code, std::optional<uintptr_t> address) {
  int fd = theLog.fd;
  if (fd < 0) return;
  char time[kIsoTimeLength];
  formatIsoTime(platform::epochMilliseconds(), theLog.utcOffset.load(std::memory_order_relaxed), time);
  char line[kFaultJsonSize];
  size_t length = formatFaultJson(code, address, std::string_view(time, kIsoTimeLength), line);
  if (platform::writeLogText(fd, line, length)) return;
  const char* reason = platform::lastErrorText();
  if (theLog.failureReported.exchange(true)) return;
  platform::writeErrRaw(theLog.writeFailedPrefix.data(), theLog.writeFailedPrefix.size());
  platform::writeErrRaw(reason, std::strlen(reason));
  platform::writeErrRaw("\n", 1);
}

}  // namespace kelvaring
