// The settings file beside the executable.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kelvaring/state.h"
#include "kelvaring/text.h"

namespace kelvaring {

// Files larger than this are not settings files; they give the defaults.
inline constexpr size_t kMaxSettingsFileBytes = 1 << 20;

// Fills `path` with the executable's own path, its extension replaced by
// ".ini", and tells whether something exists there. When the executable's
// path is unknown, returns false and leaves `path` as it was.
bool settingsPath(Text& path);

// Replaces the extension of the path's file name with `extension`, or
// appends it when the name has none.
void renameExtension(Text& path, const char* extension);

// The share of each worker's time for compare sweeps from the value of
// "sweep": a negative value turns sweeping off, one above 100 means 100.
int32_t sweepShare(int32_t percent);

// Where the settings of a run come from: the text of its settings file
// (empty without one) and the keys set on the command line, as the text of
// a [tweak] section (commandLineText). A key of the command line overrides
// the file's.
struct SettingsSource {
  std::string file;
  std::string commandLine;
};

// The command line's key=value arguments as a section, a later argument
// overriding an earlier one.
std::string commandLineText(const std::vector<std::pair<std::string, std::string>>& settings);

// The text of the settings file at `path`; false when it cannot be read. A
// file holding binary data reads as empty.
bool readSettingsFile(const std::string& path, std::string& text);

// The settings every key of section "tweak" gives; the app prints the
// lines they call for (settingsLines). A relative `log` or
// `metrics` path from the file at `path` is taken relative to that file's
// folder, links followed; one from the command line stays as written.
Settings readSettings(const std::string& path, const SettingsSource& source);

// The same without a file; the `log` and `metrics` paths stay as written.
Settings applySettings(const SettingsSource& source);
Settings applySettingsText(const std::string& text);

// The level names of `key` (process, thread) in the help's words, and
// whether `name` is one of them as the reader compares it.
std::string levelNames(std::string_view key);
bool isLevelName(std::string_view key, std::string_view name);

// `path` taken relative to the folder of `settingsFile`; an absolute or
// empty path stays as it is.
std::string pathBeside(const std::string& settingsFile, const std::string& path);

}  // namespace kelvaring
