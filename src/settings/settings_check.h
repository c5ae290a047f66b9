// What a settings value must look like: the command line refuses a value
// its key cannot read, and the file's unknown keys and unreadable values
// are named on standard error while the file is still read as it stands.
#pragma once

#include <string>
#include <string_view>

#include "settings/settings_keys.h"

namespace kelvaring {

// The key of the table named `name` (any case), or nullptr.
const SettingsKey* findSettingsKey(std::string_view name);

// Why `value` does not read as `key` expects ("is not a whole number"), or
// "" when it does.
std::string valueProblem(const SettingsKey& key, std::string_view value);

// One line per entry of the file's [tweak] section that the reader cannot
// take as written: "PATH:LINE: ..." with the key named.
std::string settingsFileWarnings(std::string_view text, std::string_view path);

}  // namespace kelvaring
