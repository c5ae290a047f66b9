// Settings from the file that bears the executable's name.
#include "settings/settings.h"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/files.h"
#include "settings/profile.h"
#include "settings/settings_keys.h"

namespace kelvaring {
namespace {

constexpr const char* kSection = "tweak";
// Level names arrive through a 32-character buffer: a longer name is cut
// and so matches nothing.
constexpr size_t kLevelNameBuffer = 32;

struct ProcessLevel {
  std::string_view name;
  PriorityClass value;
};
constexpr ProcessLevel kProcessLevels[] = {
    {"normal", PriorityClass::normal}, {"above", PriorityClass::aboveNormal}, {"high", PriorityClass::high}};

struct ThreadLevel {
  std::string_view name;
  ThreadPriority value;
};
constexpr ThreadLevel kThreadLevels[] = {{"normal", ThreadPriority::normal},
                                         {"below", ThreadPriority::belowNormal},
                                         {"above", ThreadPriority::aboveNormal},
                                         {"high", ThreadPriority::highest}};

// A level is read through a buffer of kLevelNameBuffer characters; a name
// that matches no entry leaves the level as it is.
template <typename Level, size_t n, typename Value>
void readLevel(const Level (&levels)[n], const std::string& name, Value& value) {
  for (const Level& level : levels)
    if (sameName(name, level.name)) value = level.value;
}

// The text to read `key` from: the command line's when it sets the key,
// else the file's.
const std::string& sourceOf(const SettingsSource& source, std::string_view key) {
  return profileHasKey(source.commandLine, kSection, key) ? source.commandLine : source.file;
}

int32_t readInt(const SettingsSource& source, std::string_view key, int32_t defaultValue) {
  return profileInt(sourceOf(source, key), kSection, key, defaultValue);
}

std::string readText(const SettingsSource& source, std::string_view key, std::string_view defaultValue, size_t buffer) {
  return profileString(sourceOf(source, key), kSection, key, defaultValue, buffer);
}

}  // namespace

int32_t sweepShare(int32_t percent) { return percent < 0 ? 0 : percent > 100 ? 100 : percent; }

// Replaces the extension of the path's file name, or appends one. A dot in
// a folder name is no extension.
void renameExtension(Text& path, const char* extension) {
  size_t length = path.length();
  char* buffer = path.buffer(length + std::strlen(extension));
  const char* slash = std::strrchr(buffer, '/');
  char* name = slash != nullptr ? buffer + (slash - buffer) + 1 : buffer;
  char* dot = std::strrchr(name, '.');
  std::strcpy(dot != nullptr ? dot : buffer + length, extension);
  path.releaseBuffer();
}

bool settingsPath(Text& path) {
  std::string executable;
  if (!platform::executablePath(executable)) return false;
  path = Text(executable.c_str());
  renameExtension(path, ".ini");
  return platform::pathExists(path.str());
}

namespace {

// The level names of `key`, in the order the reader compares them.
std::vector<std::string_view> levelsOf(std::string_view key) {
  std::vector<std::string_view> names;
  if (sameName(key, "process"))
    for (const ProcessLevel& level : kProcessLevels) names.push_back(level.name);
  if (sameName(key, "thread"))
    for (const ThreadLevel& level : kThreadLevels) names.push_back(level.name);
  return names;
}

}  // namespace

std::string levelNames(std::string_view key) {
  std::string names;
  for (std::string_view name : levelsOf(key)) names += (names.empty() ? "" : ", ") + std::string(name);
  return names;
}

bool isLevelName(std::string_view key, std::string_view name) {
  // What arrives through the level buffer: a longer name is cut and so
  // matches nothing.
  if (name.size() >= kLevelNameBuffer) return false;
  for (std::string_view level : levelsOf(key))
    if (sameName(name, level)) return true;
  return false;
}

std::string commandLineText(const std::vector<std::pair<std::string, std::string>>& settings) {
  // The first entry of a key is read: the last argument goes first.
  std::string text = "[tweak]\n";
  for (auto it = settings.rbegin(); it != settings.rend(); ++it) text += it->first + "=" + it->second + "\n";
  return text;
}

Settings applySettings(const SettingsSource& source) {
  Settings settings;
  settings.console = readInt(source, settingsKey("console"), 0);
  settings.verbose = readInt(source, settingsKey("verbose"), 0);
  settings.timeout = readInt(source, settingsKey("timeout"), 0);
  settings.signal = readInt(source, settingsKey("signal"), 0);
  settings.method = readInt(source, settingsKey("method"), 0);
  settings.topmem = readInt(source, settingsKey("topmem"), 0);
  settings.errmax = readInt(source, settingsKey("errmax"), 0);
  settings.sweep = sweepShare(readInt(source, settingsKey("sweep"), 10));
  settings.workers = readInt(source, settingsKey("workers"), 1);
  readLevel(kProcessLevels, readText(source, settingsKey("process"), "normal", kLevelNameBuffer),
            settings.processPriorityClass);
  readLevel(kThreadLevels, readText(source, settingsKey("thread"), "normal", kLevelNameBuffer),
            settings.threadPriority);
  // A path may be as long as the system allows: nothing is cut.
  const size_t pathBuffer = source.file.size() + source.commandLine.size() + 1;
  settings.log = readText(source, settingsKey("log"), "", pathBuffer);
  settings.coverage = readInt(source, settingsKey("coverage"), 0);
  settings.minutes = readInt(source, settingsKey("minutes"), 0);
  settings.retire = readInt(source, settingsKey("retire"), 0);
  settings.metrics = readText(source, settingsKey("metrics"), "", pathBuffer);
  settings.progress = readInt(source, settingsKey("progress"), 0);
  settings.eccfail = readInt(source, settingsKey("eccfail"), 1);
  return settings;
}

Settings applySettingsText(const std::string& text) { return applySettings({text, ""}); }

std::string pathBeside(const std::string& settingsFile, const std::string& path) {
  if (path.empty() || platform::absolutePath(path)) return path;
  size_t slash = settingsFile.rfind('/');
  return slash == std::string::npos ? path : settingsFile.substr(0, slash + 1) + path;
}

bool readSettingsFile(const std::string& path, std::string& text) {
  // A file that is not a regular file, is too large or holds binary data
  // gives every setting its default.
  if (!platform::readSmallFile(path, kMaxSettingsFileBytes, text)) return false;
  if (text.find('\0') != std::string::npos) text.clear();
  return true;
}

Settings readSettings(const std::string& path, const SettingsSource& source) {
  Settings settings = applySettings(source);
  // Beside the file itself: an installed copy reads /etc/kelvaring.ini
  // through a link beside the executable. A path given on the command line
  // is taken as it is, from the current folder.
  std::string file = path;
  platform::resolvedPath(path, file);
  if (!profileHasKey(source.commandLine, kSection, "log")) settings.log = pathBeside(file, settings.log);
  if (!profileHasKey(source.commandLine, kSection, "metrics")) settings.metrics = pathBeside(file, settings.metrics);
  return settings;
}

}  // namespace kelvaring
