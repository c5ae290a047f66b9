// The main thread from start to exit.
#include "app/driver.h"

#include <new>

#include "app/command_line.h"
#include "app/report.h"
#include "app/results_log.h"
#include "app/test_size.h"
#include "control/control.h"
#include "engine/engine.h"
#include "kelvaring/state.h"
#include "kelvaring/text.h"
#include "platform/platform.h"
#include "random/subtractive_random.h"
#include "settings/settings.h"

namespace kelvaring {
namespace {

constexpr unsigned kPollMilliseconds = 500;
constexpr unsigned kBeepFrequency = 880;
constexpr unsigned kBeepMilliseconds = 200;
// The results log gets the progress once a minute.
constexpr uint64_t kLogProgressMilliseconds = 60000;

void print(const std::string& line) { platform::printOut("%s", line.c_str()); }

// The worker with its own fault course: a fault there prints the fault line
// and ends the process with the fault's result code.
void workerMain() {
  platform::setFaultTranslator(endProcessOnFault);
  testWorker();
}

// Owns the worker thread. Should the main function be left by an exception
// while the worker runs, the worker is stopped and waited for here, before
// the buffers can be released at exit.
class WorkerRun {
 public:
  WorkerRun() = default;
  ~WorkerRun() {
    if (thread_.running()) {
      requestStop();
      thread_.join();
    }
  }
  bool start() { return thread_.start(workerMain, "worker"); }
  bool waitForEnd(unsigned milliseconds) { return thread_.waitForEnd(milliseconds); }

 private:
  platform::Thread thread_;
};

// The log's record of one error report, from the detail its finder left.
ErrorEvent errorEvent(uint32_t cycles, double coverage) {
  const MismatchDetail& d = testState.detail;
  ErrorEvent event;
  event.kind = static_cast<ErrorKind>(d.kind.load(std::memory_order_relaxed));
  event.errors = testState.errors;
  event.cycles = cycles;
  event.coverage = coverage;
  if (uintptr_t addressA = d.addressA.load(std::memory_order_relaxed)) {
    event.virtualA = addressA;
    event.virtualB = d.addressB.load(std::memory_order_relaxed);
    event.comparedA = d.comparedA.load(std::memory_order_relaxed);
    event.comparedB = d.comparedB.load(std::memory_order_relaxed);
    event.valueA = d.valueA.load(std::memory_order_relaxed);
    event.valueB = d.valueB.load(std::memory_order_relaxed);
    event.failingBits = *event.comparedA ^ *event.comparedB;
  }
  return event;
}

void clearDetail(MismatchDetail& d) {
  d.addressA.store(0, std::memory_order_relaxed);
  d.valueA.store(0, std::memory_order_relaxed);
  d.addressB.store(0, std::memory_order_relaxed);
  d.valueB.store(0, std::memory_order_relaxed);
  d.comparedA.store(0, std::memory_order_relaxed);
  d.comparedB.store(0, std::memory_order_relaxed);
  d.kind.store(0, std::memory_order_relaxed);
}

void reportError() {
  TestState& s = testState;
  const Settings& settings = s.settings;
  ++s.errors;
  const uint32_t cycles = s.cycles.load(std::memory_order_relaxed);
  const double covered = coverage();
  print(errorLine(s.errors, cycles, covered));
  Text title;
  title.format("%s - %i errors", kProgramName, static_cast<int32_t>(s.errors));
  platform::setConsoleTitle(title.c_str());
  MismatchDetail& d = s.detail;
  if (settings.verbose != 0) {
    char now[9];
    print(detailLine(d.addressA.load(std::memory_order_relaxed), d.valueA.load(std::memory_order_relaxed),
                     d.addressB.load(std::memory_order_relaxed), d.valueB.load(std::memory_order_relaxed),
                     timeOfDayText(now)));
  }
  logError(errorEvent(cycles, covered));
  clearDetail(d);
  if (settings.signal != 0) platform::beep(kBeepFrequency, kBeepMilliseconds);
  if (settings.errmax != 0 && s.errors >= static_cast<uint32_t>(settings.errmax)) {
    if (s.errors == static_cast<uint32_t>(settings.errmax)) logStop({});
    requestStop();
  }
}

// The cycles at the latest progress record of the log, and when.
struct ProgressMark {
  uint64_t at;
  uint32_t cycles;
};

void logProgressWhenDue(ProgressMark& mark) {
  if (!resultsLogOpen()) return;
  const uint64_t now = platform::monotonicMilliseconds();
  if (now - mark.at < kLogProgressMilliseconds) return;
  const uint32_t cycles = testState.cycles.load(std::memory_order_relaxed);
  const double operations = static_cast<double>(cycles - mark.cycles) * testState.opsPerCycle;
  logProgress({cycles, coverage(), operations * 1000 / static_cast<double>(now - mark.at)});
  mark = {now, cycles};
}

void monitor(WorkerRun& worker, uint64_t startedAt) {
  TestState& s = testState;
  ProgressMark mark{startedAt, 0};
  while (!worker.waitForEnd(kPollMilliseconds)) {
    // One report per poll, however many mismatches came in between. The
    // finder writes the detail before the flag.
    if (s.errorSeen.exchange(false, std::memory_order_acquire)) {
      reportError();
    } else {
      ++s.spinnerCount;
      print(progressLine(s.cycles.load(std::memory_order_relaxed), coverage(), spinnerCharacter(s.spinnerCount)));
    }
    logProgressWhenDue(mark);
  }
  // A mismatch found after the last poll, in the cycle completed after a
  // stop for instance, is reported all the same.
  if (s.errorSeen.exchange(false, std::memory_order_acquire)) reportError();
}

// The stop handler, with the stop's record in the log before the stop
// itself, so that it comes before the summary.
bool onStopSignal(uint32_t controlType) {
  if (controlType <= platform::kCtrlCloseEvent) logStop({platform::controlEventSignal()});
  return onConsoleControl(controlType);
}

void logFaultSeen(uint32_t code, const platform::FaultRecord& record) {
  logFault(code, code == kAccessViolation ? std::optional<uintptr_t>(record.address) : std::nullopt);
}

// Opens the results log, if one is asked for; false, with the message on
// standard error, when it cannot be opened.
bool openLog(const std::string& path) {
  if (path.empty()) return true;
  std::string message;
  if (!openResultsLog(path, message)) {
    platform::printErr("%s", message.c_str());
    return false;
  }
  faultWitness = logFaultSeen;
  return true;
}

// The start record: the machine, the test and the buffers as they came.
bool logRunStart(uint64_t bytes) {
  if (!resultsLogOpen()) return true;
  const TestState& s = testState;
  StartEvent event;
  event.version = KELVARING_VERSION;
  event.host = platform::hostName();
  event.kernel = platform::kernelRelease();
  event.testBytes = bytes;
  event.wordsPerBuffer = s.bufferA.wordCount;
  event.opsPerCycle = s.opsPerCycle;
  event.settings = s.settings;
  const auto a = reinterpret_cast<uintptr_t>(s.bufferA.base);
  const auto b = reinterpret_cast<uintptr_t>(s.bufferB.base);
  const uint64_t bufferBytes = s.bufferA.wordCount * 4;
  event.bufferA = a;
  event.bufferB = b;
  if (bufferBytes != 0) {
    uint64_t huge = platform::hugePageBytes({{a, a + bufferBytes}, {b, b + bufferBytes}});
    event.hugePageShare = static_cast<double>(huge) / static_cast<double>(2 * bufferBytes);
  }
  event.locked = s.buffersLocked;
  event.eccWatched = false;
  std::string message;
  if (logStart(event, message)) return true;
  platform::printErr("%s", message.c_str());
  return false;
}

int guardedRun(int argc, char** argv) {
  TestState& s = testState;
  Text name(argc > 0 && argv[0] != nullptr ? argv[0] : "");
  makeShortName(name);
  print(bannerLine(__DATE__));
  print(usageLine(name.c_str()));
  if (settingsPath(name)) readSettings(name.c_str());
  platform::setConsoleTitle(kProgramName);
  uint32_t megabytes = megabytesArgument(argc, argv);
  seedRandom();
  // An asked-for record must not be lost: a log that cannot be opened ends
  // the run before anything is allocated.
  if (!openLog(s.settings.log)) return kLogFailedStatus;
  // Should memory run short later all the same, this program goes first.
  platform::offerToOomKiller();
  // A size that does not fit fails here, before any page is touched, as the
  // kernel would otherwise let the mapping pass and end the process (or
  // another one) during the fill.
  uint64_t bytes = testSize(megabytes, platform::availablePhysicalMemory());
  if (bytes == 0 || !allocateBuffers(bytes)) return platform::printErr("Memory allocation failed.\n");
  // Nor may its start be: the run ends before its test.
  if (!logRunStart(bytes)) return kLogFailedStatus;

  CtrlHandlerGuard guard(onStopSignal);
  WorkerRun worker;
  if (!worker.start()) return platform::printErr("Thread creation failed.\n");
  const uint64_t startedAt = platform::monotonicMilliseconds();
  char now[9];
  if (s.settings.verbose != 0) platform::printOut("Started %s\n", timeOfDayText(now));
  monitor(worker, startedAt);
  // Until here a stop signal still prints its notice and changes nothing
  // else; once the summary stands, it must not turn the outcome into a kill
  // while the buffers are released.
  print(summaryLine(s.errors, s.cycles.load(std::memory_order_relaxed), coverage()));
  if (s.settings.verbose != 0) platform::printOut("Finished %s\n", timeOfDayText(now));
  guard.ignoreFromNowOn();
  // A run that found bad memory must not look like a success to a script.
  const int status = s.errors != 0 ? 1 : 0;
  const uint32_t cycles = s.cycles.load(std::memory_order_relaxed);
  logSummary({s.errors, cycles, coverage(), static_cast<double>(platform::monotonicMilliseconds() - startedAt) / 1000,
              status});
  return status;
}

}  // namespace

bool (*versionCheck)() = checkOsVersion;

bool isObsoleteKernel(bool known, int major, int minor) {
  return !known || major < 3 || (major == 3 && minor < 14);
}

bool checkOsVersion() {
  int major = 0;
  int minor = 0;
  bool known = platform::kernelVersion(major, minor);
  return isObsoleteKernel(known, major, minor);
}

bool confirmObsoleteVersion() {
  platform::printErr("Obsolete or unsupported OS version. Continue? (Y/N) ");
  int answer = platform::readAnswer();
  return answer == 'y' || answer == 'Y';
}

int runProgram(int argc, char** argv) {
  if (answerCommandLine(argc, argv)) return 0;
  if (versionCheck() && !confirmObsoleteVersion()) return -1;
  installFaultTranslation();
  try {
    return guardedRun(argc, argv);
  } catch (CAtlException e) {
    return e.m_hr;
  } catch (const std::bad_alloc&) {
    // The console lines are built in standard strings; when memory runs out
    // for one, the run ends as it does for the program's own strings.
    return kOutOfMemory;
  }
}

}  // namespace kelvaring
