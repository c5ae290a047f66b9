// The man page's SETTINGS section, the example settings file and --help list
// every key of the settings table with the table's default, and no other.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>

#include "app/command_line.h"
#include "settings/settings_keys.h"

using namespace kelvaring;

namespace {

std::string sourceFile(const std::string& path) {
  std::ifstream file(std::string(KELVARING_SOURCE_DIR) + "/" + path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// Each key `keyAt` finds, with the first `valueIn` match between it and the
// next key ("?" where there is none). ini= is an argument, not a key.
std::map<std::string, std::string> listedDefaults(const std::string& text, const char* keyAt, const char* valueIn) {
  std::map<std::string, std::string> listed;
  const std::regex key(keyAt), value(valueIn);
  for (std::sregex_iterator at(text.begin(), text.end(), key), end; at != end; ++at) {
    const auto next = std::next(at);
    const auto stop = next == end ? text.end() : text.begin() + next->position();
    std::smatch found;
    const auto from = text.begin() + at->position();
    if ((*at)[1] != "ini") listed[(*at)[1].str()] = std::regex_search(from, stop, found, value) ? found[1].str() : "?";
  }
  return listed;
}

std::string section(const std::string& page, const std::string& name) {
  const size_t begin = page.find("\n.SH " + name + "\n");
  if (begin == std::string::npos) return "";
  return page.substr(begin, page.find("\n.SH ", begin + 1) - begin);
}

}  // namespace

TEST(SettingsDocs, ManPageExampleFileAndHelpShowEveryKeyWithItsDefault) {
  std::map<std::string, std::string> table, tableInFile;
  for (const SettingsKey& key : kSettingsKeys) {
    table[std::string(key.name)] = key.byDefault;
    // The example file leaves a path empty: no file.
    tableInFile[std::string(key.name)] = key.kind == ValueKind::path ? "" : key.byDefault;
  }
  const std::string man = section(sourceFile("doc/kelvaring.1.in"), "SETTINGS");
  const std::string ini = sourceFile("doc/kelvaring.ini");
  const std::string help = helpText("kelvaring", "/x/kelvaring.ini", "");
  EXPECT_EQ(listedDefaults(man, R"(\n\.TP\n\.BI (\w+)= )", R"(\nDefault: ([^\n]*)\.)"), table) << "man page";
  EXPECT_EQ(listedDefaults(ini, R"(\n;(\w+)=)", R"(=([^\n]*))"), tableInFile) << "doc/kelvaring.ini";
  EXPECT_EQ(listedDefaults(help, R"(\n  (\w+)=)", R"(\(default ([^)]*)\))"), table) << "--help";
}
