// Standard output, standard error and the answers read from standard
// input. In console_*.cc.
#pragma once

#include <cstddef>

namespace kelvaring::platform {

// Formatted output, written out at once (also into pipes and files) and
// whole with respect to other threads. Returns the characters written.
[[gnu::format(printf, 1, 2)]] int printOut(const char* fmt, ...);
[[gnu::format(printf, 1, 2)]] int printErr(const char* fmt, ...);

// Writes to standard output without any lock or allocation; usable while a
// fault is being handled. The same for standard error.
void writeOutRaw(const char* text, size_t length);
void writeErrRaw(const char* text, size_t length);

// Reads one line from standard input and returns its first character, or
// -1 at the end of input.
int readAnswer();

void setConsoleTitle(const char* title);
// Whether standard error is a terminal (a console on Windows), where a line
// rewritten in place can be shown.
bool errorIsTerminal();
// Sounds the terminal's bell and blocks for the tone's duration.
void beep(unsigned frequency, unsigned milliseconds);

}  // namespace kelvaring::platform
