#include "app/command_line.h"

#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "settings/settings_keys.h"
#include "platform/system_info.h"

using namespace kelvaring;

namespace {

// Calls `parse` with the arguments as main receives them.
template <typename Parse>
auto withArguments(std::vector<std::string> args, Parse parse) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return parse(static_cast<int>(args.size()), argv.data());
}

CommandLineRequest requestOf(std::vector<std::string> args) { return withArguments(args, commandLineRequest); }

}  // namespace

TEST(CommandLine, HelpVersionAndUnknownOptionsOnlyAsTheFirstArgument) {
  const struct {
    std::vector<std::string> args;
    CommandLineRequest request;
  } table[] = {
      {{"k", "-h"}, CommandLineRequest::help},
      {{"k", "--help"}, CommandLineRequest::help},
      {{"k", "-h", "64"}, CommandLineRequest::help},
      {{"k", "-V"}, CommandLineRequest::version},
      {{"k", "--version"}, CommandLineRequest::version},
      {{"k"}, CommandLineRequest::test},
      {{"k", "64", "--help"}, CommandLineRequest::test},
      {{"k", "-5"}, CommandLineRequest::test},
      {{"k", "+5"}, CommandLineRequest::test},
      {{"k", "abc"}, CommandLineRequest::test},
      {{"k", ""}, CommandLineRequest::test},
      {{"k", "-help"}, CommandLineRequest::test},
      {{"k", "-v5"}, CommandLineRequest::test},
      {{"k", "-"}, CommandLineRequest::test},
      {{"k", "--"}, CommandLineRequest::test},
      {{"k", "--5"}, CommandLineRequest::test},
      {{"k", "--a.b"}, CommandLineRequest::test},
      {{"k", "64", "-v"}, CommandLineRequest::test},
      // A dash and a letter, or two dashes and a word: an option, refused.
      {{"k", "-H"}, CommandLineRequest::unknownOption},
      {{"k", "-v", "64"}, CommandLineRequest::unknownOption},
      {{"k", "--HELP"}, CommandLineRequest::unknownOption},
      {{"k", "--help=1"}, CommandLineRequest::unknownOption},
      {{"k", "--versions"}, CommandLineRequest::unknownOption},
      {{"k", "--size", "64"}, CommandLineRequest::unknownOption},
      {{"k", "--size=64"}, CommandLineRequest::unknownOption},
      {{"k", "--no-bell_2"}, CommandLineRequest::unknownOption},
  };
  for (const auto& row : table) {
    std::string line;
    for (const std::string& a : row.args) line += "'" + a + "' ";
    EXPECT_EQ(requestOf(row.args), row.request) << line;
  }
}

TEST(CommandLine, HelpNamesSizeSettingsStatusesAndManPage) {
  std::string help = helpText("probe", "/opt/x.y/probe.ini", "");
  EXPECT_EQ(help.rfind("Usage: probe [size] [key=value ...]\n", 0), 0u) << help;
  const platform::HelpLines& system = platform::helpLines();
  for (const char* part : {"all available memory", "-5, +5, abc", "4GiB", "ini=PATH", "Settings file: /opt/x.y/probe.ini\n  (",
                           "Memory allocation failed.", system.builtFor, system.settingsFile, system.details})
    EXPECT_NE(help.find(part), std::string::npos) << part;
  // Every key the settings reader knows, on a line of its own.
  for (const SettingsKey& key : kSettingsKeys)
    EXPECT_NE(help.find("\n  " + std::string(key.name) + "="), std::string::npos) << key.name;
  for (const char* status :
       {"0 no errors", "1 memory errors", "26 memory", "24 thread", "73 the log", "64 arguments refused", "255 declined"})
    EXPECT_NE(help.find(status), std::string::npos) << status;
  // An installed copy's settings file is a link to /etc.
  help = helpText("kelvaring", "/usr/lib/kelvaring/kelvaring.ini", "/etc/kelvaring.ini");
  EXPECT_NE(help.find("Settings file: /usr/lib/kelvaring/kelvaring.ini\n  which links to /etc/kelvaring.ini\n"),
            std::string::npos)
      << help;
  // Fits a terminal of 80 columns.
  std::istringstream lines(help);
  for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;
}

TEST(CommandLine, UnknownOptionNamedBeforeTheUsage) {
  EXPECT_EQ(unknownOptionText("probe", "--size"),
            "Unknown option --size\nUsage: probe [size] [key=value ...]\n       probe -h | --help | -V | --version\n");
}

TEST(CommandLine, VersionLineNamesProgramVersionAndBuildDate) {
  const std::string line = versionText("Dec  7 2026");
  const std::string head = "Kelvaring ", tail = " (build Dec  7 2026)\n";
  ASSERT_EQ(line.rfind(head, 0), 0u) << line;
  ASSERT_GT(line.size(), head.size() + tail.size()) << line;
  ASSERT_EQ(line.substr(line.size() - tail.size()), tail) << line;
  // A version number of three parts: digits, dot, digits, dot, digits.
  std::string version = line.substr(head.size(), line.size() - head.size() - tail.size());
  int numbers = 0, dots = 0;
  bool digit = false;
  for (char c : version) {
    if (c >= '0' && c <= '9') {
      numbers += !digit;
      digit = true;
    } else {
      EXPECT_TRUE(c == '.' && digit) << version;
      ++dots;
      digit = false;
    }
  }
  EXPECT_TRUE(numbers == 3 && dots == 2 && digit) << version;
}

TEST(SizeArgument, NumbersWithUnitsInWholeMiB) {
  constexpr uint32_t kLargest = 2147483647;
  const struct {
    const char* argument;
    std::optional<SizeArgument> size;  // nullopt: refused
  } table[] = {
      {"64", {{64, 0}}},  {"64MB", {{64, 0}}},  {"64M", {{64, 0}}},   {"64mib", {{64, 0}}},
      {"4G", {{4096, 0}}}, {"4GiB", {{4096, 0}}}, {"4gb", {{4096, 0}}}, {"512m", {{512, 0}}},
      {"1T", {{1048576, 0}}}, {"2048K", {{2, 0}}}, {"3071kB", {{2, 0}}},
      // Rounded down to whole MiB; 0 MiB is all available memory.
      {"0G", {{0, 0}}}, {"1023K", {{0, 0}}}, {"0", {{0, 0}}},
      {"50%", {{0, 50}}}, {"1%", {{0, 1}}}, {"100%", {{0, 100}}},
      // No digit first: no size.
      {"-5", {{0, 0}}}, {"+5", {{0, 0}}}, {"abc", {{0, 0}}}, {"", {{0, 0}}}, {" 5", {{0, 0}}},
      // Too large to count: the largest count, never a wrap.
      {"2147483648", {{kLargest, 0}}}, {"99999999999999999999MB", {{kLargest, 0}}}, {"2048T", {{kLargest, 0}}},
      {"2047T", {{2047u << 20, 0}}},
      {"000000000000000000000000000012", {{12, 0}}},
      // Units and shares that do not read.
      {"4X", std::nullopt}, {"64B", std::nullopt}, {"64 M", std::nullopt}, {"4GB2", std::nullopt},
      {"4Gi", std::nullopt}, {"1.5G", std::nullopt}, {"0%", std::nullopt}, {"101%", std::nullopt},
      {"5%%", std::nullopt},
  };
  for (const auto& row : table) {
    std::optional<SizeArgument> size = readSizeArgument(row.argument);
    ASSERT_EQ(size.has_value(), row.size.has_value()) << row.argument;
    if (size) {
      EXPECT_TRUE(size->megabytes == row.size->megabytes && size->percent == row.size->percent)
          << row.argument << ": " << size->megabytes << " MiB, " << size->percent << " %";
    }
  }
}

TEST(RunArguments, SizeSettingsAndSettingsFileOrTheArgumentRefused) {
  const struct {
    std::vector<std::string> args;
    uint32_t megabytes;
    std::string settings;  // key=value; ... as kept, or the refusal's start
    std::string settingsFile;
  } table[] = {
      {{"k"}, 0, "", ""},
      {{"k", "4G", "workers=0", "minutes=30", "log=/tmp/run.jsonl"}, 4096, "workers=0;minutes=30;log=/tmp/run.jsonl;", ""},
      // No size: the first argument is a setting; names in any case, the
      // table's spelling kept; a later one overrides in the reader.
      {{"k", "Verbose=1", "THREAD=High", "verbose=0"}, 0, "verbose=1;thread=High;verbose=0;", ""},
      {{"k", "64", "ini=/etc/other.ini", "log="}, 64, "log=;", "/etc/other.ini"},
      {{"k", "errmax=-1", "minutes=4294967295"}, 0, "errmax=-1;minutes=4294967295;", ""},
      {{"k", "4X"}, 0, "Cannot read the size 4X", ""},
      {{"k", "64", "128"}, 0, "Unexpected argument 128", ""},
      {{"k", "minuts=480"}, 0, "Unknown key minuts in minuts=480", ""},
      {{"k", "=5"}, 0, "Unknown key  in =5", ""},
      {{"k", "64", "minutes=thirty"}, 0, "Cannot read minutes=thirty: the value is not a whole number", ""},
      {{"k", "minutes=30m"}, 0, "Cannot read minutes=30m", ""},
      {{"k", "minutes="}, 0, "Cannot read minutes=", ""},
      {{"k", "errmax=4294967296"}, 0, "Cannot read errmax=4294967296", ""},
      {{"k", "timeout=-2147483649"}, 0, "Cannot read timeout=-2147483649", ""},
      {{"k", "thread=highest"}, 0, "Cannot read thread=highest: the value is not one of normal, below, above, high", ""},
      {{"k", "process=below"}, 0, "Cannot read process=below", ""},
      {{"k", "ini="}, 0, "No settings file named in ini=", ""},
  };
  for (const auto& row : table) {
    std::string line;
    for (const std::string& a : row.args) line += "'" + a + "' ";
    RunArguments arguments;
    const std::string refused =
        withArguments(row.args, [&](int argc, char** argv) { return readRunArguments(argc, argv, arguments); });
    if (!refused.empty()) {
      EXPECT_EQ(refused.rfind(row.settings, 0), 0u) << line << "gives " << refused;
      continue;
    }
    std::string settings;
    for (const auto& [key, value] : arguments.settings) settings += key + "=" + value + ";";
    EXPECT_EQ(settings, row.settings) << line;
    EXPECT_EQ(arguments.size.megabytes, row.megabytes) << line;
    EXPECT_EQ(arguments.settingsFile, row.settingsFile) << line;
  }
}
