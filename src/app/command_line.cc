#include "app/command_line.h"

#include <algorithm>
#include <cstring>

#include "app/exit_status.h"
#include "report/console_lines.h"
#include "kelvaring/state.h"
#include "kelvaring/text.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/system_info.h"
#include "settings/settings.h"
#include "settings/settings_check.h"
#include "settings/settings_keys.h"
#include "settings/profile.h"

#ifndef KELVARING_VERSION
#error "KELVARING_VERSION comes from the project version in CMakeLists.txt"
#endif

namespace kelvaring {
namespace {

bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// "-v", "--size", "--size=64": what a user means as an option. "-5", "+5"
// and "-help" are none; as a size they mean all available memory.
bool isOption(const char* arg) {
  if (arg[0] != '-') return false;
  if (isLetter(arg[1])) return arg[2] == '\0';
  if (arg[1] != '-' || !isLetter(arg[2])) return false;
  const char* rest = arg + 3;
  while (isLetter(*rest) || (*rest >= '0' && *rest <= '9') || *rest == '-' || *rest == '_') ++rest;
  return *rest == '\0' || *rest == '=';
}

std::string usageText(const std::string& name) {
  return "Usage: " + name + " [size] [key=value ...]\n" + "       " + name + " -h | --help | -V | --version\n";
}

// A key=value argument: a setting of the table, or ini=PATH. "" when it
// reads, else why not.
std::string readSetting(std::string_view argument, RunArguments& arguments) {
  const size_t equals = argument.find('=');
  const std::string_view name = argument.substr(0, equals), value = argument.substr(equals + 1);
  if (sameName(name, "ini")) {
    if (value.empty()) return "No settings file named in " + std::string(argument);
    arguments.settingsFile = value;
    return "";
  }
  const SettingsKey* key = findSettingsKey(name);
  if (key == nullptr) return "Unknown key " + std::string(name) + " in " + std::string(argument);
  const std::string problem = valueProblem(*key, value);
  if (!problem.empty()) return "Cannot read " + std::string(argument) + ": the value " + problem;
  arguments.settings.emplace_back(std::string(key->name), std::string(value));
  return "";
}

Text shortNameOf(char** argv) {
  Text name(argv[0] != nullptr ? argv[0] : "kelvaring");
  makeShortName(name);
  return name;
}

}  // namespace

CommandLineRequest commandLineRequest(int argc, char** argv) {
  if (argc < 2 || argv[1] == nullptr) return CommandLineRequest::test;
  const char* first = argv[1];
  if (std::strcmp(first, "-h") == 0 || std::strcmp(first, "--help") == 0) return CommandLineRequest::help;
  if (std::strcmp(first, "-V") == 0 || std::strcmp(first, "--version") == 0) return CommandLineRequest::version;
  return isOption(first) ? CommandLineRequest::unknownOption : CommandLineRequest::test;
}

std::string unknownOptionText(const char* shortName, const char* option) {
  return std::string("Unknown option ") + option + "\n" + usageText(shortName);
}

std::string helpText(const char* shortName, const char* settingsFile, const std::string& linkTarget) {
  std::string keys;
  for (const SettingsKey& key : kSettingsKeys) {
    std::string line = "  " + std::string(key.name) + "=" + std::string(key.value);
    line.resize(std::max<size_t>(line.size() + 1, 17), ' ');
    for (char c : key.help) line += c == '\n' ? "\n" + std::string(17, ' ') : std::string(1, c);
    // The default closes the key's last line, or a line of its own where
    // that line would pass 79 columns.
    const std::string byDefault = "(default " + std::string(key.byDefault) + ")";
    const size_t lastLine = line.size() - (line.rfind('\n') == std::string::npos ? 0 : line.rfind('\n') + 1);
    line += lastLine + 1 + byDefault.size() <= 79 ? " " + byDefault : "\n" + std::string(17, ' ') + byDefault;
    keys += line + "\n";
  }
  std::string link = linkTarget.empty() ? "" : "  which links to " + linkTarget + "\n";
  const platform::HelpLines& system = platform::helpLines();
  return usageText(shortName) +
         "\n" + system.builtFor +
         "Tests memory: two arrays of 32-bit words, compared under random traffic\n"
         "until Ctrl+C, a stop signal, the error limit, a coverage or a time.\n"
         "\n"
         "size       the size to test: a number of MiB (64, 64M, 64MB), or of K, G or T\n"
         "           (4G, 4GiB: 4096 MiB), rounded down to whole MiB; N% that share of\n"
         "           all available memory. None, 0, or anything that does not start\n"
         "           with a digit (-5, +5, abc)\n" +
         system.availableMemory +
         "           large to count, fails with \"Memory allocation failed.\" (status 26).\n"
         "           An unknown unit (4X) or option (-v, --size=64) is refused (64).\n"
         "key=value  a setting of the list below for this run, over the settings file;\n"
         "           ini=PATH reads the file PATH instead. An unknown key or a value\n"
         "           that does not read is refused with status 64.\n"
         "\n"
         "Settings file: " + settingsFile + "\n" + link + system.settingsFile +
         keys +
         "\n"
         "Exit status: 0 no errors; 1 memory errors reported; 26 memory allocation\n"
         "failed; 24 thread creation failed; 73 the log or the metrics file cannot\n"
         "be written; 64 arguments refused; 255 declined on an obsolete kernel;\n"
         "5, 6 and others: a fault, after its \"Exception code\" line.\n"
         "\n"
         + system.details;
}

std::string versionText(const char* buildDate) {
  Text line;
  line.format("%s %s (build %s)\n", kProgramName, KELVARING_VERSION, buildDate);
  return line.str();
}

std::optional<int> answerCommandLine(int argc, char** argv) {
  switch (commandLineRequest(argc, argv)) {
    case CommandLineRequest::test:
      return std::nullopt;
    case CommandLineRequest::version:
      platform::printOut("%s", versionText(__DATE__).c_str());
      return 0;
    case CommandLineRequest::unknownOption:
      platform::printErr("%s", unknownOptionText(shortNameOf(argv).c_str(), argv[1]).c_str());
      return kStatusUsage;
    case CommandLineRequest::help: {
      Text settings("(unknown: the executable's path cannot be read)");
      std::string target;
      settingsPath(settings);
      platform::linkTarget(settings.str(), target);
      platform::printOut("%s", helpText(shortNameOf(argv).c_str(), settings.c_str(), target).c_str());
      return 0;
    }
  }
  return std::nullopt;
}

std::string readRunArguments(int argc, char** argv, RunArguments& arguments) {
  for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
    const std::string_view argument = argv[i];
    if (argument.find('=') != std::string_view::npos) {
      if (std::string problem = readSetting(argument, arguments); !problem.empty()) return problem;
    } else if (i == 1) {
      std::optional<SizeArgument> size = readSizeArgument(argument);
      if (!size)
        return "Cannot read the size " + std::string(argument) + ": a number of MiB, or of K, M, G or T, or 1% to 100%";
      arguments.size = *size;
    } else {
      return "Unexpected argument " + std::string(argument) + ": settings are given as key=value";
    }
  }
  return "";
}

std::string refusedArgumentsText(const char* shortName, const std::string& reason) {
  return reason + "\n" + usageText(shortName);
}

int refuseArguments(char** argv, const std::string& reason) {
  platform::printErr("%s", refusedArgumentsText(shortNameOf(argv).c_str(), reason).c_str());
  return kStatusUsage;
}

}  // namespace kelvaring
