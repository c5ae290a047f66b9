#include "report/metrics_file.h"

#include <charconv>
#include <string_view>

#include "report/console_lines.h"
#include "report/json_line.h"
#include "engine/engine.h"
#include "engine/test_run.h"
#include "kelvaring/state.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/system_info.h"

namespace kelvaring {
namespace {

constexpr uint64_t kWriteMilliseconds = 15000;

struct Label {
  const char* name;
  std::string_view value;
};

void appendLabelValue(std::string& out, std::string_view text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0; i < text.size();) {
    unsigned char c = bytes[i];
    if (c >= 0x80) {
      size_t n = utf8SequenceLength(bytes + i, text.size() - i);
      // The exporter refuses a whole file over one label that is no UTF-8.
      out.append(n != 0 ? text.substr(i, n) : "\xEF\xBF\xBD");
      i += n != 0 ? n : 1;
      continue;
    }
    ++i;
    if (c == '\\') out += "\\\\";
    else if (c == '"') out += "\\\"";
    else if (c == '\n') out += "\\n";
    else out += static_cast<char>(c);
  }
}

std::string number(double value) {
  char text[32];
  auto end = std::to_chars(text, text + sizeof text, value).ptr;
  return std::string(text, end);
}

void family(std::string& out, const char* name, const char* type, const char* help) {
  out += "# HELP ";
  out += name;
  out += ' ';
  out += help;
  out += "\n# TYPE ";
  out += name;
  out += ' ';
  out += type;
  out += '\n';
}

void sample(std::string& out, const char* name, std::initializer_list<Label> labels, const std::string& value) {
  out += name;
  if (labels.size() != 0) {
    char separator = '{';
    for (const Label& label : labels) {
      out += separator;
      out += label.name;
      out += "=\"";
      appendLabelValue(out, label.value);
      out += '"';
      separator = ',';
    }
    out += '}';
  }
  out += ' ';
  out += value;
  out += '\n';
}

void metric(std::string& out, const char* name, const char* type, const char* help, const std::string& value) {
  family(out, name, type, help);
  sample(out, name, {}, value);
}

}  // namespace

std::string metricsText(const RunMetrics& m) {
  std::string out;
  family(out, "kelvaring_info", "gauge", "The program and its test: version, platform and test size.");
  sample(out, "kelvaring_info",
         {{"version", m.version}, {"platform", m.platform}, {"size", std::to_string(m.testBytes >> 20) + " MiB"}},
         "1");
  metric(out, "kelvaring_start_time_seconds", "gauge", "When the run started, in seconds since 1970.",
         number(m.startSeconds));
  metric(out, "kelvaring_test_size_bytes", "gauge", "Memory under test, both buffers together, in bytes.",
         std::to_string(m.testBytes));
  metric(out, "kelvaring_workers", "gauge", "Workers testing side by side, each on a slice of its own.",
         std::to_string(m.workers));
  metric(out, "kelvaring_cycles_total", "counter", "Test cycles completed.", std::to_string(m.cycles));
  metric(out, "kelvaring_operations_total", "counter",
         "Random operations completed (compare, write, read back, compare).", std::to_string(m.operations));
  metric(out, "kelvaring_errors_total", "counter", "Error reports: memory errors found.", std::to_string(m.errors));
  metric(out, "kelvaring_mismatches_found_total", "counter",
         "Mismatches found by the workers, their sweeps and hardware memory errors, each counted once; several may "
         "make one error report.",
         std::to_string(m.mismatchesFound));
  metric(out, "kelvaring_failing_pages", "gauge", "Distinct pages of 4 KiB in which errors were found.",
         std::to_string(m.failingPages));
  metric(out, "kelvaring_coverage_ratio", "gauge",
         "Operations per word times ten: 1 is the console's 100 % coverage.", number(m.coverage / 100));
  metric(out, "kelvaring_last_error_time_seconds", "gauge",
         "When the latest error report was made, in seconds since 1970; 0 before the first.",
         number(m.lastErrorSeconds));
  if (m.ecc && !m.ecc->empty()) {
    const char* name = "kelvaring_ecc_errors_total";
    family(out, name, "counter", "ECC errors the memory controllers counted during the run, per module and kind.");
    for (const EccGrowth& g : *m.ecc) {
      for (auto [kind, count] : {std::pair{"corrected", g.corrected}, std::pair{"uncorrected", g.uncorrected}})
        sample(out, name, {{"controller", g.controller}, {"module", g.module}, {"label", g.label}, {"kind", kind}},
               std::to_string(count));
    }
  }
  metric(out, "kelvaring_running", "gauge", "1 while the test runs, 0 once its summary is printed.",
         m.running ? "1" : "0");
  if (m.exitStatus) {
    metric(out, "kelvaring_exit_status", "gauge", "The exit status the run ends with.",
           std::to_string(*m.exitStatus));
    family(out, "kelvaring_verdict", "gauge", "The run's verdict: 1 for the one that holds, pass or fail.");
    sample(out, "kelvaring_verdict", {{"verdict", "pass"}}, m.errors == 0 ? "1" : "0");
    sample(out, "kelvaring_verdict", {{"verdict", "fail"}}, m.errors == 0 ? "0" : "1");
  }
  return out;
}

bool MetricsFile::start(const std::string& path, uint64_t testBytes) {
  if (path.empty()) return true;
  path_ = path;
  metrics_.version = KELVARING_VERSION;
  metrics_.platform = platform::platformName();
  metrics_.testBytes = testBytes;
  metrics_.startSeconds = static_cast<double>(platform::epochMilliseconds()) / 1000;
  std::string reason;
  if (platform::replaceFile(path_, metricsText(metrics_), reason)) return true;
  platform::printErr("Metrics file %s cannot be written: %s\n", path_.c_str(), reason.c_str());
  return false;
}

void MetricsFile::watch(const EccWatch& ecc) {
  ecc_ = &ecc;
  eccAtStart_ = ecc.counts;
}

void MetricsFile::afterPoll() {
  if (path_.empty()) return;
  // An error report is told at once; otherwise a file is due every 15 s,
  // the first at the first poll.
  if (run_.errors == metrics_.errors && platform::monotonicNanoseconds() / 1000000 < dueAt_) return;
  write();
}

void MetricsFile::afterSummary(int status) {
  if (path_.empty()) return;
  metrics_.running = false;
  metrics_.exitStatus = status;
  write();
}

void MetricsFile::write() {
  const TestRun& s = run_;
  if (s.errors != metrics_.errors) metrics_.lastErrorSeconds = static_cast<double>(platform::epochMilliseconds()) / 1000;
  metrics_.errors = s.errors;
  metrics_.mismatchesFound = mismatchesFound(s);
  if (pages_ != nullptr) metrics_.failingPages = pages_->pages().size() + pages_->overflow();
  metrics_.cycles = s.cycles.load(std::memory_order_relaxed);
  metrics_.workers = s.workers.count();
  metrics_.operations = s.operationsDone.load(std::memory_order_relaxed);
  metrics_.coverage = coverage(s);
  if (ecc_ != nullptr && ecc_->counts && eccAtStart_) metrics_.ecc = eccGrowth(*eccAtStart_, *ecc_->counts, true);
  dueAt_ = platform::monotonicNanoseconds() / 1000000 + kWriteMilliseconds;
  std::string reason;
  if (platform::replaceFile(path_, metricsText(metrics_), reason) || failureReported_) return;
  // The run goes on: the metrics are its report, not its test.
  failureReported_ = true;
  platform::printErr("Metrics file %s cannot be written: %s\n", path_.c_str(), reason.c_str());
}

}  // namespace kelvaring
