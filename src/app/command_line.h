// The command line: the size argument, and the two requests that answer
// without testing anything (help and version).
#pragma once

#include <cstdint>
#include <string>

namespace kelvaring {

enum class CommandLineRequest { test, help, version };

// -h/--help or -V/--version as the first argument; anything else is a test.
CommandLineRequest commandLineRequest(int argc, char** argv);

// The help screen; `settingsFile` is where this copy reads its settings.
std::string helpText(const char* shortName, const char* settingsFile);
// Program name, version number and build date on one line.
std::string versionText(const char* buildDate);

// Prints the help or the version when the command line asks for it; true
// then, and the program ends with status 0.
bool answerCommandLine(int argc, char** argv);

// The size argument in megabytes; 0 when absent. Only a first argument that
// starts with a digit counts; its leading digits are read up to the largest
// signed 32-bit count, 2147483647, which larger numbers give.
uint32_t megabytesArgument(int argc, char** argv);

}  // namespace kelvaring
