#include "report/console_lines.h"

#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <algorithm>

#include "engine/test_run.h"
#include "kelvaring/state.h"
#include "platform/clock.h"
#include "platform/system_info.h"

namespace kelvaring {
namespace {

[[gnu::format(printf, 1, 2)]] std::string formatted(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  Text line;
  line.formatList(fmt, args);
  va_end(args);
  return line.str();
}

// Counts print as signed 32-bit numbers ("%i"): from 2^31 on, negative.
int32_t count(uint32_t value) { return static_cast<int32_t>(value); }

}  // namespace

char spinnerCharacter(uint32_t spinnerCount) { return ".:. "[spinnerCount % 4]; }

double coverage(uint32_t opsPerCycle, uint64_t wordCount, uint32_t cycles) {
  if (wordCount == 0) return 0;
  return static_cast<double>(opsPerCycle) / static_cast<double>(wordCount) * static_cast<double>(cycles) * 10;
}

double coverage(const TestRun& run) {
  return coverage(run.opsPerCycle, run.bufferA.wordCount, run.cycles.load(std::memory_order_relaxed));
}

// printf's own rounding sends halves to even (2.5 would print 2).
double roundHalfUp(double value) { return std::floor(value + 0.5); }

std::string bannerLine(const char* buildDate) {
  return formatted("\n%s - build %s (beta), %.*s", kProgramName, buildDate, static_cast<int>(platform::noticeText().size()),
                   platform::noticeText().data());
}

std::string usageLine(const char* shortName) { return formatted("\nUsage: %s [megabytes]\n\n", shortName); }

bool progressInPlace(const Settings& settings) { return settings.progress <= 0; }

std::string progressLine(uint32_t cycles, double coverage, char spinner) {
  return formatted("\r%i cycles, (%.0f%% coverage) %-7c", count(cycles), roundHalfUp(coverage), spinner);
}

std::string timedProgressLine(uint32_t cycles, double coverage) {
  return formatted("%i cycles, (%.0f%% coverage)\n", count(cycles), roundHalfUp(coverage));
}

std::string progressLineErasure() { return "\r" + std::string(79, ' ') + "\r"; }

std::string errorLine(uint32_t errors, uint32_t cycles, double coverage, bool inPlace) {
  const std::string text =
      formatted("Error %i, out of %i cycles, (%.0f%% coverage)", count(errors), count(cycles), roundHalfUp(coverage));
  return inPlace ? "\r" + text + std::string(8, ' ') + "\n" : text + "\n";
}

std::string detailLine(uintptr_t addressA, uint32_t valueA, uintptr_t addressB, uint32_t valueB,
                       const char* timeText) {
  return formatted("[%016" PRIXPTR "]=%08" PRIx32 " vs [%016" PRIXPTR "]=%08" PRIx32 ", %s\n", addressA, valueA,
                   addressB, valueB, timeText);
}

std::string locationLine(std::optional<uint64_t> physicalA, std::optional<uint64_t> physicalB,
                         uint32_t failingBits) {
  auto physical = [](std::optional<uint64_t> address) {
    return address ? formatted("[%016" PRIX64 "]", *address) : std::string("[unknown]");
  };
  return "Physical " + physical(physicalA) + " vs " + physical(physicalB) +
         formatted(", failing bits %08" PRIx32 "\n", failingBits);
}

std::string hardwareErrorLine(uintptr_t address, char buffer, uint64_t pageBytes) {
  return formatted("Hardware memory error at [%016" PRIXPTR "] in buffer %c, page of %" PRIu64 " bytes replaced\n",
                   address, buffer, pageBytes);
}

std::string eccLine(const std::string& controller, const std::string& label, uint64_t corrected,
                    uint64_t uncorrected) {
  return formatted("ECC errors on %s, module %s: %" PRIu64 " corrected, %" PRIu64 " uncorrected gained\n",
                   controller.c_str(), label.c_str(), corrected, uncorrected);
}

std::string settingsLines(const Settings& settings) {
  // A terminal cannot be left for a new one; the switch is announced and
  // the output stays where it is.
  std::string lines = settings.console != 0 ? "new console created.\n" : "";
  if (settings.verbose == 0) return lines;
  switch (settings.processPriorityClass) {
    case PriorityClass::aboveNormal: lines += "ABOVE_NORMAL_PRIORITY_CLASS in use.\n"; break;
    case PriorityClass::high: lines += "HIGH_PRIORITY_CLASS in use.\n"; break;
    default: break;
  }
  switch (settings.threadPriority) {
    case ThreadPriority::belowNormal: lines += "THREAD_PRIORITY_BELOW_NORMAL in use.\n"; break;
    case ThreadPriority::aboveNormal: lines += "THREAD_PRIORITY_ABOVE_NORMAL in use.\n"; break;
    case ThreadPriority::highest: lines += "THREAD_PRIORITY_HIGHEST in use.\n"; break;
    default: break;
  }
  return lines;
}

std::string allocationLines(uint64_t bytes, uintptr_t bufferA, uintptr_t bufferB, uint32_t workersShown, bool locked,
                            bool verbose, bool topDown) {
  std::string lines = verbose && topDown ? "MEM_TOP_DOWN in use.\n" : "";
  lines += formatted("%i Mb allocated (%016" PRIXPTR "/%016" PRIXPTR ")\n", static_cast<int32_t>(bytes >> 20), bufferA,
                     bufferB);
  if (verbose && workersShown != 0)
    lines += formatted("%u %s in use.\n", workersShown, workersShown == 1 ? "worker" : "workers");
  if (verbose) lines += locked ? "Buffers locked in RAM.\n" : "Buffers not locked in RAM.\n";
  return lines;
}

// In place, the notice first ends the progress line it follows.
const char* stopNoticeLine(bool inPlace) {
  return inPlace ? "\nStop signaled. Terminating...\n" : "Stop signaled. Terminating...\n";
}

std::string eccWatchLine(bool watched) { return watched ? "ECC counts watched.\n" : "ECC counts not watched.\n"; }

std::string summaryLine(uint32_t errors, uint32_t cycles, double coverage, bool inPlace) {
  const std::string text =
      formatted("Errors %i, cycles %i, (%.0f%% coverage)", count(errors), count(cycles), roundHalfUp(coverage));
  return inPlace ? "\r" + text + std::string(10, ' ') + "\n" : text + "\n";
}

std::string verdictLine(uint32_t errors, uint64_t seconds, bool inPlace) {
  const std::string time = formatted("%" PRIu64 ":%02u:%02u", seconds / 3600, static_cast<unsigned>(seconds / 60 % 60),
                                     static_cast<unsigned>(seconds % 60));
  const std::string text = errors == 0 ? "PASS: no errors found in " + time
                                       : formatted("FAIL: %i error%s found in ", count(errors), errors == 1 ? "" : "s") +
                                             time;
  return inPlace ? "\r" + text + std::string(10, ' ') + "\n" : text + "\n";
}

unsigned fillPercent(uint64_t filled, uint64_t words) {
  if (words == 0 || filled >= words) return 100;
  return static_cast<unsigned>(filled * 100 / words);
}

std::string fillLine(unsigned percent) { return formatted("\rFilling: %u %%", percent); }

const char* fillLineErasure() { return "\r              \r"; }

std::string failingPagesLines(const FailingPages& pages) {
  const std::vector<FailingPage>& list = pages.pages();
  if (list.empty()) return "";
  std::string out;
  for (size_t i = 0; i < list.size() && i < kShownFailingPages; ++i) {
    const FailingPage& p = list[i];
    out += formatted("Failing page %016" PRIX64 " (%s): %" PRIu64 " error%s, failing bits %08x, found by %s%s\n",
                     p.address, p.physical ? "physical" : "virtual", p.errors, p.errors == 1 ? "" : "s",
                     p.failingBits, foundByText(p.foundBy).c_str(), p.retiredByKernel ? ", retired by the kernel" : "");
  }
  const uint64_t more = list.size() - std::min(list.size(), kShownFailingPages) + pages.overflow();
  if (more != 0) out += formatted("and %" PRIu64 " more failing pages\n", more);
  const std::string parameter = memmapParameter(list);
  if (!parameter.empty())
    out += "Kernel parameter to keep them out of use from the next boot (/etc/default/grub): " + parameter + "\n";
  else
    out += "No kernel parameter: the physical addresses of the failing pages are not known.\n";
  return out;
}

char* timeOfDayText(int hour, int minute, int second, char* buffer) {
  auto twoDigits = [](int value) { return static_cast<unsigned>(value) % 100u; };
  std::snprintf(buffer, 9, "%02u:%02u:%02u", twoDigits(hour), twoDigits(minute), twoDigits(second));
  return buffer;
}

char* timeOfDayText(char* buffer) {
  platform::TimeOfDay now = platform::localTimeOfDay();
  return timeOfDayText(now.hour, now.minute, now.second, buffer);
}

void makeShortName(Text& name) {
  char* buffer = name.buffer(name.length());
  const char* slash = std::strrchr(buffer, '/');
  if (slash != nullptr) std::memmove(buffer, slash + 1, std::strlen(slash + 1) + 1);
  if (char* dot = std::strrchr(buffer, '.')) *dot = '\0';
  name.releaseBuffer();
}

}  // namespace kelvaring
