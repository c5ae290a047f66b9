// The main thread from start to exit.
#include "app/driver.h"

#include <memory>
#include <new>

#include "app/command_line.h"
#include "app/exit_status.h"
#include "report/console_lines.h"
#include "report/error_report.h"
#include "report/metrics_file.h"
#include "report/page_retirement.h"
#include "app/planned_end.h"
#include "report/results_log.h"
#include "report/run_records.h"
#include "app/test_size.h"
#include "app/monitor.h"
#include "app/worker_run.h"
#include "control/control.h"
#include "engine/engine.h"
#include "engine/test_run.h"
#include "kelvaring/state.h"
#include "kelvaring/text.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/cpus.h"
#include "platform/edac.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/system_info.h"
#include "platform/threads.h"
#include "random/subtractive_random.h"
#include "settings/settings.h"
#include "settings/settings_check.h"

namespace kelvaring {
namespace {

void print(const std::string& line) { platform::printOut("%s", line.c_str()); }

// The two start-up failures end with the length of their message.
int allocationFailed() { return platform::printErr("%s", kAllocationFailedText.data()); }
int threadCreationFailed() { return platform::printErr("%s", kThreadCreationFailedText.data()); }

// The settings of the run: the file named on the command line, or the one
// beside the executable, under the command line's keys. Unknown keys and
// unreadable values of the file are named on standard error.
Settings readRunSettings(Text& name, const RunArguments& arguments, const std::string& namedFileText) {
  SettingsSource source{namedFileText, commandLineText(arguments.settings)};
  std::string path = arguments.settingsFile;
  if (path.empty() && settingsPath(name)) {
    path = name.str();
    if (!readSettingsFile(path, source.file)) source.file.clear();
  }
  if (path.empty() && arguments.settings.empty()) return Settings{};
  // Named where the administrator edits it: an installed copy's link leads
  // to /etc.
  std::string shown = path;
  if (!path.empty()) platform::resolvedPath(path, shown);
  platform::printErr("%s", settingsFileWarnings(source.file, shown).c_str());
  Settings settings = readSettings(path, source);
  print(settingsLines(settings));
  return settings;
}

int guardedRun(TestRun& s, int argc, char** argv, const RunArguments& arguments, const std::string& namedFileText) {
  Text name(argc > 0 && argv[0] != nullptr ? argv[0] : "");
  makeShortName(name);
  print(bannerLine(__DATE__));
  print(usageLine(name.c_str()));
  s.settings = readRunSettings(name, arguments, namedFileText);
  platform::setConsoleTitle(kProgramName);
  seedRandom(s);
  // An asked-for record must not be lost: a log that cannot be opened ends
  // the run before anything is allocated.
  if (!openRunLog(s, s.settings.log)) return kStatusCannotWrite;
  // Should memory run short later all the same, this program goes first.
  platform::offerToOomKiller();
  // A size that does not fit fails here, before any page is touched, as the
  // kernel would otherwise let the mapping pass and end the process (or
  // another one) during the fill.
  const uint64_t available = platform::availablePhysicalMemory();
  uint64_t bytes = arguments.size.percent != 0 ? shareOfDefault(arguments.size.percent, available)
                                               : testSize(arguments.size.megabytes, available);
  // Metrics asked for must not go missing either: their first file is
  // written here, and one that cannot be written ends the run as the log.
  MetricsFile metrics(s);
  if (bytes != 0 && !metrics.start(s.settings.metrics, bytes)) return kStatusCannotWrite;
  if (bytes == 0 || !obtainBuffers(s, bytes)) return allocationFailed();
  const int32_t key = s.settings.workers;
  const uint32_t count = workerCount(key, key == 0 ? platform::usableCpuCount() : 1, s.bufferA.wordCount);
  setUpWorkers(s, count);
  // The process class once, before the workers: they inherit it, and each
  // sets its own thread's priority on it.
  platform::setProcessPriority(s.settings.processPriorityClass);
  WorkerRun workers(s);
  if (!workers.startFilling(count)) return threadCreationFailed();
  workers.waitUntilFilled();
  const bool locked = completeAllocation(s);
  print(allocationLines(bytes, reinterpret_cast<uintptr_t>(s.bufferA.base), reinterpret_cast<uintptr_t>(s.bufferB.base),
                        workersAsked(key) ? count : 0, locked, s.settings.verbose != 0, s.settings.topmem != 0));
  s.cycleLimit = cycleLimit(static_cast<uint32_t>(s.settings.coverage), s.opsPerCycle, s.bufferA.wordCount);
  EccWatch ecc;
  ecc.counts = platform::readEccCounts();
  metrics.watch(ecc);
  FailingPages pages;
  metrics.watch(pages);
  if (s.settings.verbose != 0) print(eccWatchLine(ecc.counts.has_value()));
  // Nor may its start be: the run ends before its test.
  if (!logRunStart(s, bytes, ecc.counts.has_value())) return kStatusCannotWrite;
  const platform::RetireFiles retireFiles;
  const bool retire = s.settings.retire == 1 && checkPageRetirement(retireFiles);

  CtrlHandlerGuard guard(logStopAndHandle);
  workers.letGo();
  const uint64_t startedAt = platform::monotonicNanoseconds() / 1000000;
  char now[9];
  if (s.settings.verbose != 0) platform::printOut("Started %s\n", timeOfDayText(now));
  ProgressLog progress(s, startedAt);
  PlannedEnd end(s, startedAt, static_cast<uint32_t>(s.settings.minutes));
  monitor(s, workers, {pages, ecc, progress, end, metrics});
  const uint64_t testedSeconds = (platform::monotonicNanoseconds() / 1000000 - startedAt) / 1000;
  // The failing pages' lines and the retirement's start on a line of their
  // own, not behind the progress line left in place.
  const bool inPlace = progressInPlace(s.settings);
  if (s.settings.verbose != 0 && !pages.pages().empty() && inPlace) print(progressLineErasure());
  if (retire) retireFailingPages(pages, retireFiles, s.settings.verbose != 0);
  if (s.settings.verbose != 0) print(failingPagesLines(pages));
  if (s.settings.verbose != 0) print(verdictLine(s.errors, testedSeconds, inPlace));
  // Until here a stop signal still prints its notice and changes nothing
  // else; once the summary stands, it must not turn the outcome into a kill
  // while the buffers are released.
  print(summaryLine(s.errors, s.cycles.load(std::memory_order_relaxed), coverage(s), inPlace));
  if (s.settings.verbose != 0) platform::printOut("Finished %s\n", timeOfDayText(now));
  guard.ignoreFromNowOn();
  // A run that found bad memory must not look like a success to a script.
  const int status = s.errors != 0 ? kStatusErrorsFound : kStatusPassed;
  logRunSummary(s, startedAt, status, pages);
  metrics.afterSummary(status);
  return status;
}

}  // namespace

bool isObsoleteVersion(bool known, int major, int minor, platform::OsVersion lowest) {
  return !known || major < lowest.major || (major == lowest.major && minor < lowest.minor);
}

bool osVersionIsObsolete() {
  int major = 0;
  int minor = 0;
  bool known = platform::kernelVersion(major, minor);
  return isObsoleteVersion(known, major, minor, platform::lowestSupportedVersion());
}

bool confirmObsoleteVersion() {
  platform::printErr("Obsolete or unsupported OS version. Continue? (Y/N) ");
  int answer = platform::readAnswer();
  return answer == 'y' || answer == 'Y';
}

int runProgram(int argc, char** argv, bool (*versionIsObsolete)()) {
  if (std::optional<int> status = answerCommandLine(argc, argv)) return *status;
  // Arguments that do not read end the run before anything else happens.
  RunArguments arguments;
  std::string refused = readRunArguments(argc, argv, arguments);
  std::string namedFileText;
  if (refused.empty() && !arguments.settingsFile.empty() && !readSettingsFile(arguments.settingsFile, namedFileText))
    refused = "Cannot read the settings file " + arguments.settingsFile;
  if (!refused.empty()) return refuseArguments(argv, refused);
  if (versionIsObsolete() && !confirmObsoleteVersion()) return kStatusDeclined;
  installFaultTranslation();
  // The run's state lives here, from the settings to the summary; the
  // handlers reach it while it is the active run.
  const auto run = std::make_unique<TestRun>();
  const ActiveRun active(*run);
  try {
    return guardedRun(*run, argc, argv, arguments, namedFileText);
  } catch (CAtlException e) {
    return e.m_hr;
  } catch (const std::bad_alloc&) {
    // The console lines are built in standard strings; when memory runs out
    // for one, the run ends as it does for the program's own strings.
    return kOutOfMemory;
  }
}

}  // namespace kelvaring
