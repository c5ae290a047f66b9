// The console lines of a run, formatted to the character.
#pragma once

#include <cstdint>
#include <string>

#include "kelvaring/text.h"

namespace kelvaring {

// ".:. " indexed by spinnerCount modulo 4.
char spinnerCharacter(uint32_t spinnerCount);

// opsPerCycle / words per buffer x cycles x 10.
double coverage(uint32_t opsPerCycle, uint64_t wordCount, uint32_t cycles);
// The coverage of the running test.
double coverage();
// Whole number with halves rounded up (0.5 gives 1, 2.5 gives 3).
double roundHalfUp(double value);

std::string bannerLine(const char* buildDate);
std::string usageLine(const char* shortName);
std::string progressLine(uint32_t cycles, double coverage, char spinner);
std::string errorLine(uint32_t errors, uint32_t cycles, double coverage);
std::string detailLine(uintptr_t addressA, uint32_t valueA, uintptr_t addressB, uint32_t valueB,
                       const char* timeText);
std::string summaryLine(uint32_t errors, uint32_t cycles, double coverage);

// hh:mm:ss of the local time, into a buffer of at least 9 characters.
char* timeOfDayText(char* buffer);
// The same for a given time of day.
char* timeOfDayText(int hour, int minute, int second, char* buffer);

// The program's name as invoked: argv[0] without its folder and extension.
void makeShortName(Text& name);

}  // namespace kelvaring
