#include "settings/settings_check.h"

#include <vector>

#include "settings/profile.h"
#include "settings/settings.h"

namespace kelvaring {

const SettingsKey* findSettingsKey(std::string_view name) {
  for (const SettingsKey& key : kSettingsKeys)
    if (sameName(key.name, name)) return &key;
  return nullptr;
}

std::string valueProblem(const SettingsKey& key, std::string_view value) {
  switch (key.kind) {
    case ValueKind::integer:
      return isWholeNumber(value) ? "" : "is not a whole number of 32 bits";
    case ValueKind::level:
      return isLevelName(key.name, value) ? "" : "is not one of " + levelNames(key.name);
    case ValueKind::path:
      // Read through one line of the section: a line end would cut it.
      return value.find_first_of("\r\n") == std::string_view::npos ? "" : "holds a line end";
  }
  return "";
}

std::string settingsFileWarnings(std::string_view text, std::string_view path) {
  std::string lines;
  std::vector<std::string_view> seen;
  for (const ProfileEntry& entry : sectionEntries(text, "tweak")) {
    const std::string where = std::string(path) + ":" + std::to_string(entry.line) + ": ";
    const std::string setting = std::string(entry.key) + "=" + std::string(entry.value);
    const SettingsKey* key = findSettingsKey(entry.key);
    if (key == nullptr) {
      lines += where + "unknown key " + std::string(entry.key) + " (ignored)\n";
      continue;
    }
    bool repeated = false;
    for (std::string_view name : seen) repeated = repeated || sameName(name, entry.key);
    if (repeated) {
      lines += where + setting + " repeats " + std::string(key->name) + " (ignored: the first one counts)\n";
      continue;
    }
    seen.push_back(entry.key);
    const std::string problem = valueProblem(*key, entry.value);
    if (problem.empty()) continue;
    const std::string readAs = key->kind == ValueKind::integer
                                   ? "read as " + std::to_string(profileNumber(entry.value))
                                   : std::string(key->byDefault) + " is used";
    lines += where + setting + " " + problem + " (" + readAs + ")\n";
  }
  return lines;
}

}  // namespace kelvaring
