// The main thread from start to exit.
#include "app/driver.h"

#include <new>
#include <optional>
#include <vector>

#include "app/command_line.h"
#include "app/ecc_watch.h"
#include "app/report.h"
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

// Polls between two reads of the ECC counts: every 5 seconds.
constexpr unsigned kPollsPerEccRead = 10;

// The memory controllers' counts as last read; none where EDAC is absent.
struct EccWatch {
  std::optional<std::vector<platform::EccCount>> counts;
  unsigned polls = 0;
};

// The parts every error report shares: the count, the error line and the
// title first; the bell and the error limit last.
void beginReport() {
  TestState& s = testState;
  ++s.errors;
  print(errorLine(s.errors, s.cycles.load(std::memory_order_relaxed), coverage()));
  Text title;
  title.format("%s - %i errors", kProgramName, static_cast<int32_t>(s.errors));
  platform::setConsoleTitle(title.c_str());
}

void endReport() {
  TestState& s = testState;
  const Settings& settings = s.settings;
  if (settings.signal != 0) platform::beep(kBeepFrequency, kBeepMilliseconds);
  if (settings.errmax != 0 && s.errors >= static_cast<uint32_t>(settings.errmax)) requestStop();
}

// With verbose, what the finder recorded: the detail line, then where the
// error lies. The physical addresses are looked up here, on the main thread.
void printDetail(MismatchDetail& d) {
  char now[9];
  const uintptr_t addressA = d.addressA.load(std::memory_order_relaxed);
  const uintptr_t addressB = d.addressB.load(std::memory_order_relaxed);
  print(detailLine(addressA, d.valueA.load(std::memory_order_relaxed), addressB,
                   d.valueB.load(std::memory_order_relaxed), timeOfDayText(now)));
  if (d.kind.load(std::memory_order_relaxed) == static_cast<uint8_t>(ErrorKind::hardware)) {
    const uintptr_t address = d.hardwareAddress.load(std::memory_order_relaxed);
    const TestBuffer& a = testState.bufferA;
    const bool inA = address - reinterpret_cast<uintptr_t>(a.base) < a.wordCount * 4;
    print(hardwareErrorLine(address, inA ? 'A' : 'B', uint64_t{1} << d.pageShift.load(std::memory_order_relaxed)));
  } else {
    print(locationLine(platform::physicalAddress(addressA), platform::physicalAddress(addressB),
                       d.comparedA.load(std::memory_order_relaxed) ^ d.comparedB.load(std::memory_order_relaxed)));
  }
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

void reportError() {
  beginReport();
  if (testState.settings.verbose != 0) printDetail(testState.detail);
  endReport();
}

// Reads the counts again; a count that grew is one error report with a line
// per module. False when nothing grew.
bool reportEccGrowth(EccWatch& ecc) {
  if (!ecc.counts) return false;
  std::optional<std::vector<platform::EccCount>> now = platform::readEccCounts();
  if (!now) return false;
  std::vector<EccGrowth> grown = eccGrowth(*ecc.counts, *now);
  ecc.counts = std::move(now);
  if (grown.empty()) return false;
  beginReport();
  for (const EccGrowth& g : grown) print(eccLine(g.controller, g.label, g.corrected, g.uncorrected));
  endReport();
  return true;
}

void monitor(WorkerRun& worker, EccWatch& ecc) {
  TestState& s = testState;
  while (!worker.waitForEnd(kPollMilliseconds)) {
    // One report per poll, however many mismatches came in between. The
    // ECC counts wait for a poll without one.
    if (s.errorSeen.exchange(false, std::memory_order_acquire)) {
      reportError();
      continue;
    }
    if (++ecc.polls % kPollsPerEccRead == 0 && reportEccGrowth(ecc)) continue;
    ++s.spinnerCount;
    print(progressLine(s.cycles.load(std::memory_order_relaxed), coverage(), spinnerCharacter(s.spinnerCount)));
  }
  // A mismatch found after the last poll, in the cycle completed after a
  // stop for instance, is reported all the same; so are ECC counts that
  // grew since the last read.
  if (s.errorSeen.exchange(false, std::memory_order_acquire)) reportError();
  reportEccGrowth(ecc);
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
  // Should memory run short later all the same, this program goes first.
  platform::offerToOomKiller();
  // A size that does not fit fails here, before any page is touched, as the
  // kernel would otherwise let the mapping pass and end the process (or
  // another one) during the fill.
  uint64_t bytes = testSize(megabytes, platform::availablePhysicalMemory());
  if (bytes == 0 || !allocateBuffers(bytes)) return platform::printErr("Memory allocation failed.\n");
  EccWatch ecc{platform::readEccCounts()};
  if (s.settings.verbose != 0) print(eccWatchLine(ecc.counts.has_value()));

  CtrlHandlerGuard guard(onConsoleControl);
  WorkerRun worker;
  if (!worker.start()) return platform::printErr("Thread creation failed.\n");
  char now[9];
  if (s.settings.verbose != 0) platform::printOut("Started %s\n", timeOfDayText(now));
  monitor(worker, ecc);
  // Until here a stop signal still prints its notice and changes nothing
  // else; once the summary stands, it must not turn the outcome into a kill
  // while the buffers are released.
  print(summaryLine(s.errors, s.cycles.load(std::memory_order_relaxed), coverage()));
  if (s.settings.verbose != 0) platform::printOut("Finished %s\n", timeOfDayText(now));
  guard.ignoreFromNowOn();
  // A run that found bad memory must not look like a success to a script.
  return s.errors != 0 ? 1 : 0;
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
