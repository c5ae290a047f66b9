// The man page's SETTINGS section, the example settings file and --help list
// every key of the settings table with the table's default, and no other.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <cctype>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

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

// Each key that follows `keyPrefix` (a word and "="), with what `value`
// reads between it and the next key ("?" where it reads nothing). ini= is an
// argument, not a key. (No std::regex: g++ 12 warns inside it when
// sanitizing.)
template <typename Value>
std::map<std::string, std::string> listedDefaults(const std::string& text, const std::string& keyPrefix, Value value) {
  std::vector<std::pair<size_t, std::string>> keys;
  for (size_t at = text.find(keyPrefix); at != std::string::npos; at = text.find(keyPrefix, at + 1)) {
    size_t end = at + keyPrefix.size();
    while (end < text.size() && (std::isalnum(static_cast<unsigned char>(text[end])) || text[end] == '_')) ++end;
    if (end > at + keyPrefix.size() && end < text.size() && text[end] == '=')
      keys.emplace_back(at, text.substr(at + keyPrefix.size(), end - at - keyPrefix.size()));
  }
  std::map<std::string, std::string> listed;
  for (size_t k = 0; k < keys.size(); ++k) {
    const size_t stop = k + 1 < keys.size() ? keys[k + 1].first : text.size();
    const std::string found = value(text.substr(keys[k].first, stop - keys[k].first));
    if (keys[k].second != "ini") listed[keys[k].second] = found.empty() ? "?" : found;
  }
  return listed;
}

// The text after `start` in `region` up to `end` or the region's end; ""
// without `start`.
std::string between(const std::string& region, const std::string& start, const std::string& end) {
  const size_t from = region.find(start);
  if (from == std::string::npos) return "";
  const size_t to = region.find(end, from + start.size());
  return region.substr(from + start.size(), to == std::string::npos ? std::string::npos : to - from - start.size());
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
  // "Default: X." on a line of its own after the key's ".TP" line.
  const auto manDefault = [](const std::string& region) {
    const std::string line = between(region, "\nDefault: ", "\n");
    return line.ends_with('.') ? line.substr(0, line.size() - 1) : "";
  };
  // The example file's empty value reads as the empty text, not as missing.
  const auto fileValue = [](const std::string& region) { return "=" + between(region, "=", "\n"); };
  const auto helpDefault = [](const std::string& region) { return between(region, "(default ", ")"); };
  for (auto& [key, value] : tableInFile) value = "=" + value;
  EXPECT_EQ(listedDefaults(man, "\n.TP\n.BI ", manDefault), table) << "man page";
  EXPECT_EQ(listedDefaults(ini, "\n;", fileValue), tableInFile) << "doc/kelvaring.ini";
  EXPECT_EQ(listedDefaults(help, "\n  ", helpDefault), table) << "--help";
}
