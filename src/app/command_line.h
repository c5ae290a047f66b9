// The command line: the size argument, and the two requests that answer
// without testing anything (help and version).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/size_argument.h"

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

// What a run is asked for: its size, the settings file named by ini=PATH
// (empty: the one beside the executable) and the key=value settings in the
// order given.
struct RunArguments {
  SizeArgument size;
  std::string settingsFile;
  std::vector<std::pair<std::string, std::string>> settings;
};

// Reads the arguments after the program's name: a size first, unless it is
// a setting; then key=value settings of the table, or ini=PATH. Returns ""
// when every argument reads, else the line that names the first one that
// does not.
std::string readRunArguments(int argc, char** argv, RunArguments& arguments);

// The lines that end the run at arguments that do not read, for standard
// error: the reason, then the usage.
std::string refusedArgumentsText(const char* shortName, const std::string& reason);
// Prints them and gives the exit status.
int refuseArguments(char** argv, const std::string& reason);

}  // namespace kelvaring
