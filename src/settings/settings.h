// The settings file beside the executable.
#pragma once

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

// Reads every key of section "tweak" into the test state's settings; the
// app prints the lines they call for (settingsLines). A relative `log` or
// `metrics` path is taken relative to the folder of the settings file,
// links followed.
void readSettings(const char* path);

// The same, from the file's text; a missing key keeps its default. The
// `log` and `metrics` paths stay as written.
void applySettingsText(const std::string& text);

// `path` taken relative to the folder of `settingsFile`; an absolute or
// empty path stays as it is.
std::string pathBeside(const std::string& settingsFile, const std::string& path);

}  // namespace kelvaring
