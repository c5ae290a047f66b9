#include "app/command_line.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "settings/settings_keys.h"
#include "platform/platform.h"

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
uint32_t megabytesOf(std::vector<std::string> args) { return withArguments(args, megabytesArgument); }

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
  EXPECT_EQ(help.rfind("Usage: probe [megabytes]\n", 0), 0u) << help;
  const platform::HelpLines& system = platform::helpLines();
  for (const char* part : {"all available memory", "-5, +5, abc", "Settings file: /opt/x.y/probe.ini\n  (",
                           "Memory allocation failed.", system.builtFor, system.settingsFile, system.details})
    EXPECT_NE(help.find(part), std::string::npos) << part;
  // Every key the settings reader knows, on a line of its own.
  for (const SettingsKey& key : kSettingsKeys)
    EXPECT_NE(help.find("\n  " + std::string(key.name) + "="), std::string::npos) << key.name;
  for (const char* status :
       {"0 no errors", "1 memory errors", "26 memory", "24 thread", "73 the log", "64 an unknown option", "255 declined"})
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
            "Unknown option --size\nUsage: probe [megabytes]\n       probe -h | --help | -V | --version\n");
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

TEST(MegabytesArgument, LeadingDigitsOfTheFirstArgument) {
  EXPECT_EQ(megabytesOf({"k", "64MB"}), 64u);
  EXPECT_EQ(megabytesOf({"k", "32", "999"}), 32u);
  // Too large for a signed 32-bit count: the largest count, never a wrap.
  EXPECT_EQ(megabytesOf({"k", "2147483647"}), 2147483647u);
  for (const char* large : {"2147483648", "4294967296", "4294967297", "4294967360", "99999999999999999999MB"})
    EXPECT_EQ(megabytesOf({"k", large}), 2147483647u) << large;
  EXPECT_EQ(megabytesOf({"k", "000000000000000000000000000012"}), 12u);
  EXPECT_EQ(megabytesOf({"k"}), 0u);
  for (const char* bad : {"0", "-5", "+5", "abc", " 5", "", "-help"}) EXPECT_EQ(megabytesOf({"k", bad}), 0u) << bad;
}
