// The events of a run as lines of the results log.
#include "report/log_events.h"

#include <cstring>

#include "report/console_lines.h"
#include "report/json_line.h"

namespace kelvaring {

namespace {

// Coverage as the console shows it: a whole number, halves rounded up.
void addCoverage(std::string& out, double coverage) { addFixed(out, "coverage", roundHalfUp(coverage), 0); }

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
  // The keys of an unattended run appear only when set: a run without them
  // logs none of them.
  if (s.coverage != 0) addNumber(out, "coverage", static_cast<uint32_t>(s.coverage));
  if (s.minutes != 0) addNumber(out, "minutes", static_cast<uint32_t>(s.minutes));
  if (!s.metrics.empty()) addString(out, "metrics", s.metrics);
  if (s.retire != 0) addSigned(out, "retire", s.retire);
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

// [{"page":...,"physical":...,"errors":...,"failing_bits":...,"found_by":...,"first":...,"last":...}, ...]
std::string pagesArray(const FailingPages& pages, int32_t utcOffsetSeconds) {
  std::string out = "[";
  for (const FailingPage& p : pages.pages()) {
    if (out.size() > 1) out += ',';
    out += "{\"page\":\"";
    appendHex(out, p.address, 16, true);
    out += '"';
    addBool(out, "physical", p.physical);
    addNumber(out, "errors", p.errors);
    addWord(out, "failing_bits", p.failingBits);
    addString(out, "found_by", foundByText(p.foundBy));
    for (auto [key, milliseconds] : {std::pair{"first", p.firstMilliseconds}, std::pair{"last", p.lastMilliseconds}}) {
      char time[kIsoTimeLength];
      formatIsoTime(milliseconds, utcOffsetSeconds, time);
      addString(out, key, std::string_view(time, kIsoTimeLength));
    }
    if (p.retiredByKernel) addBool(out, "retired_by_kernel", true);
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

}  // namespace

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
  if (e.counted)
    addNumber(out, "number", e.errors);
  else
    addBool(out, "counted", false);
  addNumber(out, "cycles", e.cycles);
  addCoverage(out, e.coverage);
  addString(out, "kind", kindName(e.kind));
  if (e.worker) addNumber(out, "worker", *e.worker);
  if (e.mismatches) addNumber(out, "mismatches", *e.mismatches);
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

std::string retireJson(const RetireEvent& e, std::string_view time) {
  std::string out = opening("retire", time);
  if (e.page) addAddress(out, "page", *e.page);
  addString(out, "outcome", e.outcome);
  if (!e.reason.empty()) addString(out, "reason", e.reason);
  return closing(out);
}

std::string summaryJson(const SummaryEvent& e, std::string_view time) {
  std::string out = opening("summary", time);
  addNumber(out, "errors", e.errors);
  addNumber(out, "mismatches_found", e.mismatchesFound);
  addNumber(out, "cycles", e.cycles);
  addCoverage(out, e.coverage);
  addFixed(out, "duration_seconds", e.durationSeconds, 3);
  addString(out, "verdict", e.errors == 0 ? "pass" : "fail");
  addSigned(out, "status", e.status);
  if (e.pages != nullptr) {
    addRaw(out, "failing_pages", pagesArray(*e.pages, e.utcOffsetSeconds));
    addNumber(out, "failing_pages_not_kept", e.pages->overflow());
    const std::string parameter = memmapParameter(e.pages->pages());
    if (!parameter.empty()) addString(out, "kernel_parameter", parameter);
  }
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

}  // namespace kelvaring
