// Settings from the file that bears the executable's name.
#include "settings/settings.h"

#include <cstring>
#include <string>

#include "platform/platform.h"
#include "settings/profile.h"
#include "settings/settings_keys.h"

namespace kelvaring {
namespace {

constexpr const char* kSection = "tweak";
// Level names arrive through a 32-character buffer: a longer name is cut
// and so matches nothing.
constexpr size_t kLevelNameBuffer = 32;

void readProcessLevel(const std::string& text, Settings& settings) {
  std::string name = profileString(text, kSection, settingsKey("process"), "normal", kLevelNameBuffer);
  if (sameName(name, "normal")) {
    settings.processPriorityClass = PriorityClass::normal;
  } else if (sameName(name, "above")) {
    settings.processPriorityClass = PriorityClass::aboveNormal;
  } else if (sameName(name, "high")) {
    settings.processPriorityClass = PriorityClass::high;
  }
}

void readThreadLevel(const std::string& text, Settings& settings) {
  std::string name = profileString(text, kSection, settingsKey("thread"), "normal", kLevelNameBuffer);
  if (sameName(name, "normal")) {
    settings.threadPriority = ThreadPriority::normal;
  } else if (sameName(name, "below")) {
    settings.threadPriority = ThreadPriority::belowNormal;
  } else if (sameName(name, "above")) {
    settings.threadPriority = ThreadPriority::aboveNormal;
  } else if (sameName(name, "high")) {
    settings.threadPriority = ThreadPriority::highest;
  }
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

void applySettingsText(const std::string& text) {
  Settings& settings = testState.settings;
  settings.console = profileInt(text, kSection, settingsKey("console"), 0);
  settings.verbose = profileInt(text, kSection, settingsKey("verbose"), 0);
  settings.timeout = profileInt(text, kSection, settingsKey("timeout"), 0);
  settings.signal = profileInt(text, kSection, settingsKey("signal"), 0);
  settings.method = profileInt(text, kSection, settingsKey("method"), 0);
  settings.topmem = profileInt(text, kSection, settingsKey("topmem"), 0);
  settings.errmax = profileInt(text, kSection, settingsKey("errmax"), 0);
  settings.sweep = sweepShare(profileInt(text, kSection, settingsKey("sweep"), 10));
  settings.workers = profileInt(text, kSection, settingsKey("workers"), 1);
  readProcessLevel(text, settings);
  readThreadLevel(text, settings);
  // A path may be as long as the system allows: nothing is cut.
  settings.log = profileString(text, kSection, settingsKey("log"), "", text.size() + 1);
  settings.coverage = profileInt(text, kSection, settingsKey("coverage"), 0);
  settings.minutes = profileInt(text, kSection, settingsKey("minutes"), 0);
  settings.retire = profileInt(text, kSection, settingsKey("retire"), 0);
  settings.metrics = profileString(text, kSection, settingsKey("metrics"), "", text.size() + 1);
  settings.progress = profileInt(text, kSection, settingsKey("progress"), 0);
  settings.eccfail = profileInt(text, kSection, settingsKey("eccfail"), 1);
}

std::string pathBeside(const std::string& settingsFile, const std::string& path) {
  if (path.empty() || platform::absolutePath(path)) return path;
  size_t slash = settingsFile.rfind('/');
  return slash == std::string::npos ? path : settingsFile.substr(0, slash + 1) + path;
}

void readSettings(const char* path) {
  std::string text;
  // A file that cannot be read, is not a regular file, is too large or holds
  // binary data gives every setting its default.
  if (!platform::readSmallFile(path, kMaxSettingsFileBytes, text) || text.find('\0') != std::string::npos)
    text.clear();
  applySettingsText(text);
  // Beside the file itself: an installed copy reads /etc/kelvaring.ini
  // through a link beside the executable.
  std::string file = path;
  platform::resolvedPath(path, file);
  testState.settings.log = pathBeside(file, testState.settings.log);
  testState.settings.metrics = pathBeside(file, testState.settings.metrics);
}

}  // namespace kelvaring
