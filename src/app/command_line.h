// The command line: the size argument, and the two requests that answer
// without testing anything (help and version).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kelvaring {

enum class CommandLineRequest { test, help, version, unknownOption };

// -h/--help or -V/--version as the first argument; any other option there
// (a dash and a letter, or two dashes and a word, "=value" allowed) is
// unknown; anything else is a test.
CommandLineRequest commandLineRequest(int argc, char** argv);

// The help screen; `settingsFile` is where this copy reads its settings,
// `linkTarget` where that file leads when it is a symbolic link ("" if not).
std::string helpText(const char* shortName, const char* settingsFile, const std::string& linkTarget);
// The lines that end the run at an unknown option, for standard error.
std::string unknownOptionText(const char* shortName, const char* option);
// Program name, version number and build date on one line.
std::string versionText(const char* buildDate);

// Answers help, version and unknown options before anything is tested: the
// exit status then; none when a test is asked for.
std::optional<int> answerCommandLine(int argc, char** argv);

// The size argument in megabytes; 0 when absent. Only a first argument that
// starts with a digit counts; its leading digits are read up to the largest
// signed 32-bit count, 2147483647, which larger numbers give.
uint32_t megabytesArgument(int argc, char** argv);

}  // namespace kelvaring
