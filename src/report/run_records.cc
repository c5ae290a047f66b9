#include "report/run_records.h"

#include <optional>

#include "report/console_lines.h"
#include "report/results_log.h"
#include "control/control.h"
#include "engine/engine.h"
#include "engine/test_run.h"
#include "kelvaring/state.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/control_events.h"
#include "platform/faults.h"
#include "platform/memory.h"
#include "platform/system_info.h"

namespace kelvaring {
namespace {

constexpr uint64_t kProgressMilliseconds = 60000;

void logFaultSeen(uint32_t code, const platform::FaultRecord& record) {
  logFault(code, code == kAccessViolation ? std::optional<uintptr_t>(record.address) : std::nullopt);
}

}  // namespace

bool openRunLog(TestRun& run, const std::string& path) {
  if (path.empty()) return true;
  std::string message;
  if (!openResultsLog(path, message)) {
    platform::printErr("%s", message.c_str());
    return false;
  }
  run.faultWitness = logFaultSeen;
  return true;
}

bool logRunStart(const TestRun& s, uint64_t bytes, bool eccWatched) {
  if (!resultsLogOpen()) return true;
  StartEvent event;
  event.version = KELVARING_VERSION;
  event.host = platform::hostName();
  event.kernel = platform::kernelRelease();
  event.testBytes = bytes;
  event.wordsPerBuffer = s.bufferA.wordCount;
  event.opsPerCycle = s.opsPerCycle;
  if (workersAsked(s.settings.workers)) event.workers = s.workers.count();
  event.settings = s.settings;
  const auto a = reinterpret_cast<uintptr_t>(s.bufferA.base);
  const auto b = reinterpret_cast<uintptr_t>(s.bufferB.base);
  // A buffer fits the address space: its size fits an address.
  const auto bufferBytes = static_cast<uintptr_t>(s.bufferA.wordCount * 4);
  event.bufferA = a;
  event.bufferB = b;
  if (bufferBytes != 0) {
    uint64_t huge = platform::hugePageBytes({{a, a + bufferBytes}, {b, b + bufferBytes}});
    event.hugePageShare = static_cast<double>(huge) / static_cast<double>(2 * bufferBytes);
  }
  event.locked = s.buffersLocked;
  event.eccWatched = eccWatched;
  std::string message;
  if (logStart(event, message)) return true;
  platform::printErr("%s", message.c_str());
  return false;
}

void ProgressLog::logWhenDue() {
  if (!resultsLogOpen()) return;
  const uint64_t now = platform::monotonicNanoseconds() / 1000000;
  if (now - at_ < kProgressMilliseconds) return;
  const uint32_t cycles = run_.cycles.load(std::memory_order_relaxed);
  const double operations = static_cast<double>(cycles - cycles_) * run_.opsPerCycle;
  logProgress({cycles, coverage(run_), operations * 1000 / static_cast<double>(now - at_)});
  at_ = now;
  cycles_ = cycles;
}

void logRunStop(TestRun& run, const StopEvent& event) {
  if (!run.stopLogged.exchange(true, std::memory_order_acq_rel)) logStop(event);
}

bool logStopAndHandle(uint32_t controlType) {
  const ActiveRunUse use;
  TestRun* run = use.run();
  if (run == nullptr || !stopsTheRun(controlType)) return false;
  logRunStop(*run, {platform::controlEventSignal()});
  // The notice comes before the flag, so it always precedes the summary.
  platform::printOut("%s", stopNoticeLine(progressInPlace(run->settings)));
  return onConsoleControl(*run, controlType);
}

void logRunSummary(const TestRun& s, uint64_t startedAt, int status, const FailingPages& pages) {
  logSummary({s.errors, mismatchesFound(s), s.cycles.load(std::memory_order_relaxed), coverage(s),
              static_cast<double>(platform::monotonicNanoseconds() / 1000000 - startedAt) / 1000, status, &pages,
              platform::wallClock().utcOffsetSeconds});
}

}  // namespace kelvaring
