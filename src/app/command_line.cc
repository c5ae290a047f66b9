#include "app/command_line.h"

#include <cstring>

#include "app/report.h"
#include "kelvaring/state.h"
#include "kelvaring/text.h"
#include "platform/platform.h"
#include "settings/settings.h"

#ifndef KELVARING_VERSION
#error "KELVARING_VERSION comes from the project version in CMakeLists.txt"
#endif

namespace kelvaring {

CommandLineRequest commandLineRequest(int argc, char** argv) {
  if (argc < 2 || argv[1] == nullptr) return CommandLineRequest::test;
  const char* first = argv[1];
  if (std::strcmp(first, "-h") == 0 || std::strcmp(first, "--help") == 0) return CommandLineRequest::help;
  if (std::strcmp(first, "-V") == 0 || std::strcmp(first, "--version") == 0) return CommandLineRequest::version;
  return CommandLineRequest::test;
}

std::string helpText(const char* shortName, const char* settingsFile) {
  std::string name = shortName;
  const platform::HelpLines& system = platform::helpLines();
  return "Usage: " + name + " [megabytes]\n" +
         "       " + name + " -h | --help | -V | --version\n"
         "\n" + system.builtFor +
         "Tests memory: two arrays of 32-bit words, compared under random traffic\n"
         "until Ctrl+C, a stop signal or the error limit.\n"
         "\n"
         "megabytes  the size to test in MiB; only its leading digits count (64MB is 64).\n"
         "           None, 0, or anything that does not start with a digit (-5, +5, abc)\n" +
         system.availableMemory +
         "           large to count, fails with \"Memory allocation failed.\" (status 26).\n"
         "\n"
         "Settings file: " + settingsFile + "\n" + system.settingsFile +
         "  verbose=1      extra lines: priorities, memory lock, times, error detail\n"
         "  timeout=MS     pause after every cycle, in milliseconds (-1: until a stop)\n"
         "  signal=1       terminal bell with every error report\n"
         "  method=1       bits that ever differed are set in every value written\n"
         "  topmem=1       buffer B placed top-down\n"
         "  errmax=N       stop after N error reports (0: no limit)\n"
         "  process=LEVEL  normal, above or high\n"
         "  thread=LEVEL   normal, below, above or high\n"
         "  console=1      prints \"new console created.\" and nothing more\n"
         "  log=PATH       results log, one JSON line per event, appended (a relative\n"
         "                 path is taken beside the settings file)\n"
         "\n"
         "Exit status: 0 no errors; 1 memory errors reported; 26 memory allocation\n"
         "failed; 24 thread creation failed; 73 the log cannot be opened or\n"
         "written; 255 declined on an obsolete kernel;\n"
         "5, 6 and others: a fault, after its \"Exception code\" line.\n"
         "\n"
         + system.details;
}

std::string versionText(const char* buildDate) {
  Text line;
  line.format("%s %s (build %s)\n", kProgramName, KELVARING_VERSION, buildDate);
  return line.str();
}

bool answerCommandLine(int argc, char** argv) {
  switch (commandLineRequest(argc, argv)) {
    case CommandLineRequest::test:
      return false;
    case CommandLineRequest::version:
      platform::printOut("%s", versionText(__DATE__).c_str());
      return true;
    case CommandLineRequest::help: {
      Text name(argv[0] != nullptr ? argv[0] : "kelvaring");
      makeShortName(name);
      Text settings("(unknown: the executable's path cannot be read)");
      settingsPath(settings);
      platform::printOut("%s", helpText(name.c_str(), settings.c_str()).c_str());
      return true;
    }
  }
  return false;
}

uint32_t megabytesArgument(int argc, char** argv) {
  if (argc < 2 || argv[1] == nullptr) return 0;
  const char* digits = argv[1];
  // Digits beyond the largest count keep it there rather than wrap around:
  // an oversized request must fail as one, not shrink to a small one.
  constexpr uint32_t kLargest = 0x7FFFFFFF;
  uint32_t megabytes = 0;
  for (; *digits >= '0' && *digits <= '9'; ++digits) {
    uint32_t digit = static_cast<uint32_t>(*digits - '0');
    megabytes = megabytes > (kLargest - digit) / 10 ? kLargest : megabytes * 10 + digit;
  }
  return megabytes;
}

}  // namespace kelvaring
