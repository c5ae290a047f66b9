// The results log: events formatted as JSON lines and appended to the file.
#include "app/results_log.h"

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "app/console_lines.h"
#include "platform/platform.h"

namespace kelvaring {

// --- Formatting ----------------------------------------------------------------

size_t utf8SequenceLength(const unsigned char* at, size_t left) {
  auto continues = [&](size_t i, unsigned char low = 0x80, unsigned char high = 0xBF) {
    return i < left && at[i] >= low && at[i] <= high;
  };
  unsigned char lead = at[0];
  if (lead >= 0xC2 && lead <= 0xDF) return continues(1) ? 2 : 0;
  if (lead >= 0xE0 && lead <= 0xEF) {
    // No overlong forms (E0 80-9F), no surrogates (ED A0-BF).
    unsigned char low = lead == 0xE0 ? 0xA0 : 0x80;
    unsigned char high = lead == 0xED ? 0x9F : 0xBF;
    return continues(1, low, high) && continues(2) ? 3 : 0;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    // Nothing overlong (F0 80-8F), nothing past U+10FFFF (F4 90-BF).
    unsigned char low = lead == 0xF0 ? 0x90 : 0x80;
    unsigned char high = lead == 0xF4 ? 0x8F : 0xBF;
    return continues(1, low, high) && continues(2) && continues(3) ? 4 : 0;
  }
  return 0;
}

namespace {

void appendHex(std::string& out, uint64_t value, int digits, bool upper) {
  const char* hex = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += hex[(value >> shift) & 0xF];
}

// Addresses as the console prints them: 16 upper-case hexadecimal digits.
void addAddress(std::string& out, const char* key, uintptr_t address) {
  out += ",\"";
  out += key;
  out += "\":\"";
  appendHex(out, address, 16, true);
  out += '"';
}

// Words as the console prints them: 8 lower-case hexadecimal digits.
void addWord(std::string& out, const char* key, uint32_t word) {
  out += ",\"";
  out += key;
  out += "\":\"";
  appendHex(out, word, 8, false);
  out += '"';
}

void addRaw(std::string& out, const char* key, std::string_view value) {
  out += ",\"";
  out += key;
  out += "\":";
  out += value;
}

void addNumber(std::string& out, const char* key, uint64_t value) { addRaw(out, key, std::to_string(value)); }
void addSigned(std::string& out, const char* key, int64_t value) { addRaw(out, key, std::to_string(value)); }
void addBool(std::string& out, const char* key, bool value) { addRaw(out, key, value ? "true" : "false"); }

void addFixed(std::string& out, const char* key, double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  addRaw(out, key, text);
}

// Coverage as the console shows it: a whole number, halves rounded up.
void addCoverage(std::string& out, double coverage) { addFixed(out, "coverage", roundHalfUp(coverage), 0); }

void addString(std::string& out, const char* key, std::string_view value) {
  out += ",\"";
  out += key;
  out += "\":";
  appendJsonString(out, value);
}

std::string opening(const char* event, std::string_view time) {
  std::string out = "{\"event\":\"";
  out += event;
  out += "\",\"time\":\"";
  out += time;
  out += '"';
  return out;
}

std::string closing(std::string& out) {
  out += "}\n";
  return std::move(out);
}

const char* processLevelName(PriorityClass level) {
  switch (level) {
    case PriorityClass::aboveNormal: return "above";
    case PriorityClass::high: return "high";
    default: return "normal";
  }
}

const char* threadLevelName(ThreadPriority level) {
  switch (level) {
    case ThreadPriority::belowNormal: return "below";
    case ThreadPriority::aboveNormal: return "above";
    case ThreadPriority::highest: return "high";
    default: return "normal";
  }
}

// Every key of the settings file, with the value the run uses.
std::string settingsObject(const Settings& s) {
  std::string out = "{\"console\":" + std::to_string(s.console);
  addSigned(out, "verbose", s.verbose);
  addNumber(out, "timeout", static_cast<uint32_t>(s.timeout));
  addSigned(out, "signal", s.signal);
  addSigned(out, "method", s.method);
  addSigned(out, "topmem", s.topmem);
  addNumber(out, "errmax", static_cast<uint32_t>(s.errmax));
  addString(out, "process", processLevelName(s.processPriorityClass));
  addString(out, "thread", threadLevelName(s.threadPriority));
  addSigned(out, "sweep", s.sweep);
  addString(out, "log", s.log);
  // The keys of an unattended run appear when set, so that a run without
  // them logs what it always did.
  if (s.coverage != 0) addNumber(out, "coverage", static_cast<uint32_t>(s.coverage));
  if (s.minutes != 0) addNumber(out, "minutes", static_cast<uint32_t>(s.minutes));
  if (!s.metrics.empty()) addString(out, "metrics", s.metrics);
  return out + "}";
}

// [{"controller":...,"module":...,"corrected":...,"uncorrected":...}, ...]
std::string eccArray(const std::vector<EccGrowth>& modules) {
  std::string out = "[";
  for (const EccGrowth& g : modules) {
    if (out.size() > 1) out += ',';
    out += "{\"controller\":";
    appendJsonString(out, g.controller);
    addString(out, "module", g.label);
    addNumber(out, "corrected", g.corrected);
    addNumber(out, "uncorrected", g.uncorrected);
    out += '}';
  }
  return out + "]";
}

const char* kindName(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::sweep: return "sweep";
    case ErrorKind::hardware: return "hardware";
    case ErrorKind::ecc: return "ecc";
    default: return "mismatch";
  }
}

// Signal-safe pieces for the fault line.
size_t copyText(char* out, const char* text) {
  size_t n = std::strlen(text);
  std::memcpy(out, text, n);
  return n;
}

size_t copyHex(char* out, uint64_t value, int digits, bool upper) {
  const char* hex = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  for (int i = 0; i < digits; ++i) out[i] = hex[(value >> ((digits - 1 - i) * 4)) & 0xF];
  return static_cast<size_t>(digits);
}

void putDigits(char* out, int64_t value, int digits) {
  for (int i = digits - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
}

// --- The open log ----------------------------------------------------------------

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

std::string writeFailedMessage(const std::string& path, int error) {
  return "Log file " + path + " cannot be written: " + strerrordesc_np(error) + "\n";
}

// Writes one line; a failure is reported once per run.
bool writeLine(const std::string& line) {
  if (theLog.fd < 0) return true;
  if (platform::writeLogText(theLog.fd, line.data(), line.size())) return true;
  int error = errno;
  if (!theLog.failureReported.exchange(true)) platform::printErr("%s", writeFailedMessage(theLog.path, error).c_str());
  return false;
}

}  // namespace

void appendJsonString(std::string& out, std::string_view text) {
  out += '"';
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0; i < text.size();) {
    unsigned char c = bytes[i];
    if (c >= 0x80) {
      if (size_t n = utf8SequenceLength(bytes + i, text.size() - i)) {
        out.append(text.data() + i, n);
        i += n;
        continue;
      }
    }
    ++i;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          out += "\\u00";
          appendHex(out, c, 2, false);
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

void formatIsoTime(int64_t epochMilliseconds, int32_t utcOffsetSeconds, char* out) {
  int64_t local = epochMilliseconds + int64_t{utcOffsetSeconds} * 1000;
  int64_t milliseconds = ((local % 1000) + 1000) % 1000;
  int64_t seconds = (local - milliseconds) / 1000;
  int64_t days = (seconds >= 0 ? seconds : seconds - 86399) / 86400;
  int64_t secondOfDay = seconds - days * 86400;
  // Civil date from the day count since 1970-01-01 (proleptic Gregorian).
  int64_t shifted = days + 719468;
  int64_t era = (shifted >= 0 ? shifted : shifted - 146096) / 146097;
  int64_t dayOfEra = shifted - era * 146097;
  int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  int64_t monthIndex = (5 * dayOfYear + 2) / 153;
  int64_t day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  int64_t month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  putDigits(out, year, 4);
  out[4] = '-';
  putDigits(out + 5, month, 2);
  out[7] = '-';
  putDigits(out + 8, day, 2);
  out[10] = 'T';
  putDigits(out + 11, secondOfDay / 3600, 2);
  out[13] = ':';
  putDigits(out + 14, secondOfDay / 60 % 60, 2);
  out[16] = ':';
  putDigits(out + 17, secondOfDay % 60, 2);
  out[19] = '.';
  putDigits(out + 20, milliseconds, 3);
  int32_t offset = utcOffsetSeconds < 0 ? -utcOffsetSeconds : utcOffsetSeconds;
  out[23] = utcOffsetSeconds < 0 ? '-' : '+';
  putDigits(out + 24, offset / 3600, 2);
  out[26] = ':';
  putDigits(out + 27, offset / 60 % 60, 2);
}

std::string startJson(const StartEvent& e, std::string_view time) {
  std::string out = opening("start", time);
  addString(out, "version", e.version);
  addString(out, "host", e.host);
  addString(out, "kernel", e.kernel);
  addNumber(out, "test_bytes", e.testBytes);
  addNumber(out, "words_per_buffer", e.wordsPerBuffer);
  addNumber(out, "ops_per_cycle", e.opsPerCycle);
  if (e.workers) addNumber(out, "workers", *e.workers);
  addRaw(out, "settings", settingsObject(e.settings));
  addAddress(out, "buffer_a", e.bufferA);
  addAddress(out, "buffer_b", e.bufferB);
  addFixed(out, "huge_page_share", e.hugePageShare, 3);
  addBool(out, "locked", e.locked);
  addBool(out, "ecc_watched", e.eccWatched);
  return closing(out);
}

std::string progressJson(const ProgressEvent& e, std::string_view time) {
  std::string out = opening("progress", time);
  addNumber(out, "cycles", e.cycles);
  addCoverage(out, e.coverage);
  addFixed(out, "ops_per_second", e.opsPerSecond, 0);
  return closing(out);
}

std::string errorJson(const ErrorEvent& e, std::string_view time) {
  std::string out = opening("error", time);
  addNumber(out, "number", e.errors);
  addNumber(out, "cycles", e.cycles);
  addCoverage(out, e.coverage);
  addString(out, "kind", kindName(e.kind));
  if (e.worker) addNumber(out, "worker", *e.worker);
  if (e.virtualA) addAddress(out, "virtual_a", *e.virtualA);
  if (e.virtualB) addAddress(out, "virtual_b", *e.virtualB);
  if (e.physicalA) addAddress(out, "physical_a", *e.physicalA);
  if (e.physicalB) addAddress(out, "physical_b", *e.physicalB);
  if (e.comparedA) addWord(out, "compared_a", *e.comparedA);
  if (e.comparedB) addWord(out, "compared_b", *e.comparedB);
  if (e.valueA) addWord(out, "reread_a", *e.valueA);
  if (e.valueB) addWord(out, "reread_b", *e.valueB);
  if (e.failingBits) addWord(out, "failing_bits", *e.failingBits);
  if (e.pageSize) addNumber(out, "page_size", *e.pageSize);
  if (!e.ecc.empty()) addRaw(out, "ecc", eccArray(e.ecc));
  return closing(out);
}

std::string stopJson(const StopEvent& e, std::string_view time) {
  std::string out = opening("stop", time);
  if (e.signal != nullptr) {
    addString(out, "reason", "signal");
    addString(out, "signal", e.signal);
  } else {
    addString(out, "reason", e.reason);
  }
  return closing(out);
}

std::string summaryJson(const SummaryEvent& e, std::string_view time) {
  std::string out = opening("summary", time);
  addNumber(out, "errors", e.errors);
  addNumber(out, "cycles", e.cycles);
  addCoverage(out, e.coverage);
  addFixed(out, "duration_seconds", e.durationSeconds, 3);
  addString(out, "verdict", e.errors == 0 ? "pass" : "fail");
  addSigned(out, "status", e.status);
  return closing(out);
}

size_t formatFaultJson(uint32_t code, std::optional<uintptr_t> address, std::string_view time, char* out) {
  size_t n = copyText(out, "{\"event\":\"fault\",\"time\":\"");
  size_t timeLength = time.size() < kIsoTimeLength ? time.size() : kIsoTimeLength;
  std::memcpy(out + n, time.data(), timeLength);
  n += timeLength;
  n += copyText(out + n, "\",\"code\":\"");
  n += copyHex(out + n, code, 8, false);
  if (address) {
    n += copyText(out + n, "\",\"address\":\"");
    n += copyHex(out + n, *address, 16, true);
  }
  n += copyText(out + n, "\"}\n");
  return n;
}

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
  message = writeFailedMessage(theLog.path, errno);
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

void logSummary(const SummaryEvent& event) {
  if (theLog.fd < 0) return;
  if (writeLine(summaryJson(event, nowText())) && !platform::syncLogFile(theLog.fd)) {
    int error = errno;
    if (!theLog.failureReported.exchange(true)) platform::printErr("%s", writeFailedMessage(theLog.path, error).c_str());
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
  // strerrordesc_np hands back a constant text: no allocation, no locale.
  const char* reason = strerrordesc_np(errno);
  if (theLog.failureReported.exchange(true)) return;
  platform::writeErrRaw(theLog.writeFailedPrefix.data(), theLog.writeFailedPrefix.size());
  platform::writeErrRaw(reason, std::strlen(reason));
  platform::writeErrRaw("\n", 1);
}

}  // namespace kelvaring
