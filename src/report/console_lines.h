// The console lines of a run, formatted to the character.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "kelvaring/state.h"
#include "kelvaring/text.h"
#include "report/failing_pages.h"

namespace kelvaring {

// ".:. " indexed by spinnerCount modulo 4.
char spinnerCharacter(uint32_t spinnerCount);

// opsPerCycle / words per buffer x cycles x 10.
double coverage(uint32_t opsPerCycle, uint64_t wordCount, uint32_t cycles);
// The coverage of a run under way.
double coverage(const TestRun& run);
// Whole number with halves rounded up (0.5 gives 1, 2.5 gives 3).
double roundHalfUp(double value);

std::string bannerLine(const char* buildDate);
std::string usageLine(const char* shortName);
// Whether the progress line is one line rewritten in place twice a second
// (`progress` 0 or negative); the lines that may follow it then start with
// "\r" and end with blanks over what is left of it. With `progress` N > 0
// a progress line ends with a line end, every N seconds, and no line
// starts with "\r".
bool progressInPlace(const Settings& settings);
// "\r16 cycles, (10% coverage) :      ", rewritten twice a second.
std::string progressLine(uint32_t cycles, double coverage, char spinner);
// "16 cycles, (10% coverage)\n", every N seconds of `progress`.
std::string timedProgressLine(uint32_t cycles, double coverage);
// Blanks over a progress line left in place, back to its start.
std::string progressLineErasure();
std::string errorLine(uint32_t errors, uint32_t cycles, double coverage, bool inPlace = true);
std::string detailLine(uintptr_t addressA, uint32_t valueA, uintptr_t addressB, uint32_t valueB,
                       const char* timeText);
// With verbose, after the detail line of a mismatch: the physical addresses
// of the two words ("unknown" where not visible) and the bits in which the
// compared values differ.
std::string locationLine(std::optional<uint64_t> physicalA, std::optional<uint64_t> physicalB,
                         uint32_t failingBits);
// With verbose, after the detail line of a hardware memory error.
std::string hardwareErrorLine(uintptr_t address, char buffer, uint64_t pageBytes);
// In every mode, after the error line of an ECC report: one per module.
std::string eccLine(const std::string& controller, const std::string& label, uint64_t corrected,
                    uint64_t uncorrected);
// After the settings are read: "new console created." for console, and with
// verbose the process's and the thread's priority when not normal.
std::string settingsLines(const Settings& settings);
// After the fill: with verbose and topmem "MEM_TOP_DOWN in use.", the
// allocation line with the buffers' addresses, and with verbose the number
// of workers (when `workersShown` is not 0) and whether the buffers are
// locked.
std::string allocationLines(uint64_t bytes, uintptr_t bufferA, uintptr_t bufferB, uint32_t workersShown, bool locked,
                            bool verbose, bool topDown);
// With verbose, after the allocation (and lock) line.
std::string eccWatchLine(bool watched);
std::string summaryLine(uint32_t errors, uint32_t cycles, double coverage, bool inPlace = true);
// With verbose, just before the summary: "PASS: no errors found in
// 1:02:03" or "FAIL: 3 errors found in 0:00:12", the time the test ran in
// hours, minutes and seconds; in place like the summary.
std::string verdictLine(uint32_t errors, uint64_t seconds, bool inPlace);
// The fill's progress on standard error while a long fill lasts (a
// terminal only): "\rFilling: 37 %", rewritten in place, and what erases it
// before the allocation line.
unsigned fillPercent(uint64_t filled, uint64_t words);
std::string fillLine(unsigned percent);
const char* fillLineErasure();
// With verbose, just before the summary of a run that found errors: the
// failing pages (the first kShownFailingPages, then how many more), and the
// kernel parameter that keeps the physical ones out of use from the next
// boot, or why there is none.
inline constexpr size_t kShownFailingPages = 16;
std::string failingPagesLines(const FailingPages& pages);
// When a stop signal arrives.
const char* stopNoticeLine(bool inPlace = true);

// hh:mm:ss of the local time, into a buffer of at least 9 characters.
char* timeOfDayText(char* buffer);
// The same for a given time of day.
char* timeOfDayText(int hour, int minute, int second, char* buffer);

// The program's name as invoked: argv[0] without its folder and extension.
void makeShortName(Text& name);

}  // namespace kelvaring
