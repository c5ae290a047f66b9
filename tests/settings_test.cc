#include "settings/settings.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>

#include <cctype>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "report/console_lines.h"
#include "capture.h"
#include "kelvaring/state.h"
#include "settings/settings_check.h"
#include "settings/settings_keys.h"

using namespace kelvaring;
namespace fs = std::filesystem;

namespace {

void expectDefaults(const Settings& s) {
  EXPECT_EQ(s.verbose, 0);
  EXPECT_EQ(s.timeout, 0);
  EXPECT_EQ(s.signal, 0);
  EXPECT_EQ(s.method, 0);
  EXPECT_EQ(s.topmem, 0);
  EXPECT_EQ(s.errmax, 0);
  EXPECT_EQ(s.sweep, 10);
  EXPECT_EQ(s.processPriorityClass, PriorityClass::normal);
  EXPECT_EQ(s.threadPriority, ThreadPriority::normal);
  EXPECT_EQ(s.console, 0);
  EXPECT_EQ(s.log, "");
  EXPECT_EQ(s.coverage, 0);
  EXPECT_EQ(s.minutes, 0);
  EXPECT_EQ(s.metrics, "");
  EXPECT_EQ(s.retire, 0);
}

}  // namespace

class SettingsFixture : public ::testing::Test {
 protected:
  void TearDown() override {
    if (!folder_.empty()) fs::remove_all(folder_);
  }

  // The lines the app prints for the settings the text gives; applying it
  // prints nothing itself.
  std::string applyPrinting(const std::string& text) {
    kelvaring::testing::OutputCapture capture;
    settings_ = applySettingsText(text);
    EXPECT_EQ(capture.text(), "");
    return settingsLines(settings_);
  }

  // A file of the given content in a folder of the test's own.
  std::string file(const std::string& name, const std::string& content) {
    if (folder_.empty()) {
      char pattern[] = "/tmp/kelvaring-settings-XXXXXX";
      folder_ = mkdtemp(pattern);
    }
    std::string path = folder_ + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  std::string readPrinting(const std::string& path, const std::string& commandLine = "") {
    kelvaring::testing::OutputCapture capture;
    std::string text;
    if (!readSettingsFile(path, text)) text.clear();
    settings_ = readSettings(path, {text, commandLine});
    EXPECT_EQ(capture.text(), "");
    return settingsLines(settings_);
  }

  const Settings& settings() { return settings_; }
  Settings settings_;
  std::string folder_;
};

using SettingsKeys = SettingsFixture;
using SettingsLevels = SettingsFixture;
using SettingsFiles = SettingsFixture;

TEST_F(SettingsKeys, NoKeyGivesDefaultsSilently) {
  EXPECT_EQ(applyPrinting(""), "");
  expectDefaults(settings());
  EXPECT_EQ(applyPrinting("[other]\nverbose=1\nerrmax=5\nsweep=50\nprocess=high\nconsole=1\n"), "");
  expectDefaults(settings());
}

// Every key of the table the help lists is read: a row here for each.
TEST_F(SettingsKeys, EveryKeyOfTheTableIsRead) {
  const std::map<std::string_view, std::pair<const char*, std::function<bool(const Settings&)>>> rows = {
      {"console", {"2", [](const Settings& s) { return s.console == 2; }}},
      {"verbose", {"1", [](const Settings& s) { return s.verbose == 1; }}},
      {"timeout", {"250", [](const Settings& s) { return s.timeout == 250; }}},
      {"signal", {"1", [](const Settings& s) { return s.signal == 1; }}},
      {"method", {"1", [](const Settings& s) { return s.method == 1; }}},
      {"topmem", {"1", [](const Settings& s) { return s.topmem == 1; }}},
      {"errmax", {"-1", [](const Settings& s) { return static_cast<uint32_t>(s.errmax) == 4294967295u; }}},
      {"sweep", {"37", [](const Settings& s) { return s.sweep == 37; }}},
      {"workers", {"0", [](const Settings& s) { return s.workers == 0; }}},
      {"coverage", {"1000", [](const Settings& s) { return s.coverage == 1000; }}},
      {"minutes", {"-1", [](const Settings& s) { return static_cast<uint32_t>(s.minutes) == 4294967295u; }}},
      {"retire", {"1", [](const Settings& s) { return s.retire == 1; }}},
      {"process", {"high", [](const Settings& s) { return s.processPriorityClass == PriorityClass::high; }}},
      {"thread", {"below", [](const Settings& s) { return s.threadPriority == ThreadPriority::belowNormal; }}},
      {"log", {"run.jsonl", [](const Settings& s) { return s.log == "run.jsonl"; }}},
      {"metrics", {"kelvaring.prom", [](const Settings& s) { return s.metrics == "kelvaring.prom"; }}},
      {"progress", {"60", [](const Settings& s) { return s.progress == 60; }}},
      {"eccfail", {"0", [](const Settings& s) { return s.eccfail == 0; }}},
  };
  EXPECT_EQ(rows.size(), std::size(kSettingsKeys));
  for (const SettingsKey& key : kSettingsKeys) {
    SCOPED_TRACE(key.name);
    auto row = rows.find(key.name);
    ASSERT_NE(row, rows.end()) << "no row for this key";
    auto& [value, holds] = row->second;
    EXPECT_FALSE(holds(Settings{}));
    applyPrinting("[tweak]\n" + std::string(key.name) + "=" + value + "\n");
    EXPECT_TRUE(holds(settings()));
  }
}

// Percent of the worker's time: values outside 0..100 are taken as the
// nearer end.
TEST_F(SettingsKeys, SweepShareIsClampedToPercent) {
  for (auto [value, share] : std::vector<std::pair<const char*, int32_t>>{
           {"0", 0}, {"1", 1}, {"37", 37}, {"100", 100}, {"101", 100}, {"-1", 0}, {"-2147483648", 0},
           {"4294967295", 0}, {"x", 0}}) {
    SCOPED_TRACE(value);
    settings_ = applySettingsText(std::string("[tweak]\nSweep=") + value + "\n");
    EXPECT_EQ(settings().sweep, share);
  }
}

TEST_F(SettingsKeys, ConsoleKeptAndPathsReadWhole) {
  const std::string longPath(5000, 'p');
  EXPECT_EQ(applyPrinting("[tweak]\nconsole=2\nlog= " + longPath + "/r \"1\".jsonl \nmetrics= " + longPath + ".prom\n"),
            "new console created.\n");
  EXPECT_EQ(settings().console, 2);
  EXPECT_EQ(settings().log, longPath + "/r \"1\".jsonl");
  EXPECT_EQ(settings().metrics, longPath + ".prom");
}

TEST(SettingsPath, LogPathTakenBesideTheSettingsFile) {
  const struct {
    const char* log;
    const char* path;
  } table[] = {
      {"", ""},
      {"run.jsonl", "/opt/k/run.jsonl"},
      {"logs/Run.JSONL", "/opt/k/logs/Run.JSONL"},
      {"../run.jsonl", "/opt/k/../run.jsonl"},
      {"/var/log/kelvaring.jsonl", "/var/log/kelvaring.jsonl"},
  };
  for (const auto& row : table) EXPECT_EQ(pathBeside("/opt/k/kelvaring.ini", row.log), row.path) << row.log;
}

TEST_F(SettingsKeys, SectionAndKeysInAnyCase) {
  settings_ = applySettingsText("[TWEAK]\nVERBOSE=1\nTimeOut=7\n");
  EXPECT_EQ(settings().verbose, 1);
  EXPECT_EQ(settings().timeout, 7);
}

TEST_F(SettingsKeys, ConsoleLineComesFirst) {
  EXPECT_EQ(applyPrinting("[tweak]\nthread=high\nprocess=above\nverbose=1\nconsole=1\n"),
            "new console created.\nABOVE_NORMAL_PRIORITY_CLASS in use.\nTHREAD_PRIORITY_HIGHEST in use.\n");
}

TEST_F(SettingsLevels, ProcessLineBeforeThreadLine) {
  EXPECT_EQ(applyPrinting("[tweak]\nthread=below\nprocess=HIGH\nverbose=1\n"),
            "HIGH_PRIORITY_CLASS in use.\nTHREAD_PRIORITY_BELOW_NORMAL in use.\n");
  EXPECT_EQ(settings().processPriorityClass, PriorityClass::high);
  EXPECT_EQ(settings().threadPriority, ThreadPriority::belowNormal);
}

TEST_F(SettingsLevels, EachNamedLevel) {
  EXPECT_EQ(applyPrinting("[tweak]\nverbose=1\nprocess=above\nthread=above\n"),
            "ABOVE_NORMAL_PRIORITY_CLASS in use.\nTHREAD_PRIORITY_ABOVE_NORMAL in use.\n");
  EXPECT_EQ(settings().processPriorityClass, PriorityClass::aboveNormal);
  EXPECT_EQ(settings().threadPriority, ThreadPriority::aboveNormal);
  EXPECT_EQ(applyPrinting("[tweak]\nverbose=1\nprocess=High\nthread=ABOVE\n"),
            "HIGH_PRIORITY_CLASS in use.\nTHREAD_PRIORITY_ABOVE_NORMAL in use.\n");
  EXPECT_EQ(applyPrinting("[tweak]\nverbose=1\nthread=high\n"), "THREAD_PRIORITY_HIGHEST in use.\n");
  EXPECT_EQ(settings().threadPriority, ThreadPriority::highest);
  // Back to normal, silently.
  EXPECT_EQ(applyPrinting("[tweak]\nverbose=1\nprocess=normal\nthread=NORMAL\n"), "");
  EXPECT_EQ(settings().processPriorityClass, PriorityClass::normal);
  EXPECT_EQ(settings().threadPriority, ThreadPriority::normal);
}

namespace {

// The name in lower, upper and mixed case.
std::vector<std::string> inEveryCase(const std::string& name) {
  std::string upper, capital = name, alternating = name, alternatingLow = name;
  for (char c : name) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  capital[0] = upper[0];
  for (size_t i = 0; i < name.size(); i += 2) alternating[i] = upper[i];
  for (size_t i = 1; i < name.size(); i += 2) alternatingLow[i] = upper[i];
  return {name, upper, capital, alternating, alternatingLow};
}

}  // namespace

TEST_F(SettingsLevels, EveryLevelNameInAnyCase) {
  const struct {
    const char* name;
    PriorityClass level;
    const char* line;
  } processLevels[] = {{"normal", PriorityClass::normal, ""},
                       {"above", PriorityClass::aboveNormal, "ABOVE_NORMAL_PRIORITY_CLASS in use.\n"},
                       {"high", PriorityClass::high, "HIGH_PRIORITY_CLASS in use.\n"}};
  for (const auto& row : processLevels) {
    for (const std::string& name : inEveryCase(row.name)) {
      SCOPED_TRACE("process=" + name);
      EXPECT_EQ(applyPrinting("[tweak]\nverbose=1\nprocess=" + name + "\n"), row.line);
      EXPECT_EQ(settings().processPriorityClass, row.level);
    }
  }
  const struct {
    const char* name;
    ThreadPriority level;
    const char* line;
  } threadLevels[] = {{"normal", ThreadPriority::normal, ""},
                      {"below", ThreadPriority::belowNormal, "THREAD_PRIORITY_BELOW_NORMAL in use.\n"},
                      {"above", ThreadPriority::aboveNormal, "THREAD_PRIORITY_ABOVE_NORMAL in use.\n"},
                      {"high", ThreadPriority::highest, "THREAD_PRIORITY_HIGHEST in use.\n"}};
  for (const auto& row : threadLevels) {
    for (const std::string& name : inEveryCase(row.name)) {
      SCOPED_TRACE("thread=" + name);
      EXPECT_EQ(applyPrinting("[tweak]\nverbose=1\nthread=" + name + "\n"), row.line);
      EXPECT_EQ(settings().threadPriority, row.level);
    }
  }
}

TEST_F(SettingsLevels, UnknownNamesLeaveTheDefault) {
  const std::string longHigh = "high" + std::string(28, 'x');
  for (const std::string& name : {std::string("below"), std::string(""), longHigh, std::string("hi"),
                                  std::string("highx")}) {
    SCOPED_TRACE("process=" + name);
    EXPECT_EQ(applyPrinting("[tweak]\nverbose=1\nprocess=" + name + "\n"), "");
    EXPECT_EQ(settings().processPriorityClass, PriorityClass::normal);
  }
  for (const std::string& name : {std::string("highest"), std::string(""), longHigh, std::string("hi"),
                                  std::string("highx")}) {
    SCOPED_TRACE("thread=" + name);
    EXPECT_EQ(applyPrinting("[tweak]\nverbose=1\nthread=" + name + "\n"), "");
    EXPECT_EQ(settings().threadPriority, ThreadPriority::normal);
  }
}

TEST_F(SettingsLevels, LevelAppliesSilentlyWithoutVerbose) {
  EXPECT_EQ(applyPrinting("[tweak]\nthread=below\nprocess=high\n"), "");
  EXPECT_EQ(settings().threadPriority, ThreadPriority::belowNormal);
  EXPECT_EQ(settings().processPriorityClass, PriorityClass::high);
}

TEST_F(SettingsFiles, UnreadableFilesGiveDefaults) {
  const std::string valid = "[tweak]\nconsole=1\nverbose=1\nerrmax=7\nprocess=high\n";
  EXPECT_EQ(readPrinting(file("nul.ini", valid + std::string(1, '\0') + "timeout=5\n")), "");
  expectDefaults(settings());
  EXPECT_EQ(readPrinting(file("big.ini", valid + std::string(kMaxSettingsFileBytes + 1 - valid.size(), '\n'))), "");
  expectDefaults(settings());
  fs::create_directory(folder_ + "/folder.ini");
  EXPECT_EQ(readPrinting(folder_ + "/folder.ini"), "");
  expectDefaults(settings());
  EXPECT_EQ(readPrinting(folder_ + "/missing.ini"), "");
  expectDefaults(settings());
}

TEST_F(SettingsFiles, FileAtTheSizeLimitIsRead) {
  const std::string valid = "[tweak]\nverbose=1\nerrmax=7\n";
  EXPECT_EQ(readPrinting(file("limit.ini", valid + std::string(kMaxSettingsFileBytes - valid.size(), '\n'))), "");
  EXPECT_EQ(settings().verbose, 1);
  EXPECT_EQ(settings().errmax, 7);
}

TEST(SettingsPath, ExtensionOfTheFileNameReplacedOrAppended) {
  const struct {
    const char* executable;
    const char* settings;
  } table[] = {
      {"/opt/x.y/kelvaring", "/opt/x.y/kelvaring.ini"},
      {"/opt/x.y/probe.bin", "/opt/x.y/probe.ini"},
      {"/a.b/c.d/e", "/a.b/c.d/e.ini"},
      {"/usr/lib/kelvaring/kelvaring", "/usr/lib/kelvaring/kelvaring.ini"},
      {"/tools/probe.v2.exe", "/tools/probe.v2.ini"},
      {"probe2.exe", "probe2.ini"},
      {"kelvaring", "kelvaring.ini"},
  };
  for (const auto& row : table) {
    Text path(row.executable);
    renameExtension(path, ".ini");
    EXPECT_EQ(path.str(), row.settings) << row.executable;
  }
}

TEST_F(SettingsFiles, PathBesideTheExecutable) {
  char resolved[PATH_MAX];
  ASSERT_NE(realpath("/proc/self/exe", resolved), nullptr);
  const std::string expected = std::string(resolved) + ".ini";
  ASSERT_FALSE(fs::exists(expected)) << "left over from an earlier run: " << expected;

  Text path("unchanged");
  EXPECT_FALSE(settingsPath(path));
  EXPECT_EQ(path.str(), expected);

  struct Remove {
    std::string path;
    ~Remove() { fs::remove(path); }
  } guard{expected};
  std::ofstream(expected) << "[tweak]\n";
  Text again;
  EXPECT_TRUE(settingsPath(again));
  EXPECT_EQ(again.str(), expected);
}

// The command line's keys override the file's one by one; a path given there
// is taken from the current folder, one of the file beside the file.
TEST_F(SettingsFiles, CommandLineKeysOverrideTheFileKeyByKey) {
  const std::string path =
      file("run.ini", "[tweak]\nminutes=480\nerrmax=3\nthread=below\nlog=file.jsonl\nmetrics=file.prom\n");
  readPrinting(path, commandLineText({{"minutes", "30"}, {"log", "run.jsonl"}, {"thread", "HIGH"}, {"minutes", "5"}}));
  EXPECT_EQ(settings().minutes, 5);
  EXPECT_EQ(settings().errmax, 3);
  EXPECT_EQ(settings().threadPriority, ThreadPriority::highest);
  EXPECT_EQ(settings().log, "run.jsonl");
  EXPECT_EQ(settings().metrics, fs::canonical(folder_).string() + "/file.prom");
  // Without a file: the keys alone.
  settings_ = applySettings({"", commandLineText({{"workers", "0"}})});
  EXPECT_EQ(settings().workers, 0);
  EXPECT_EQ(settings().sweep, 10);
}

// The file is read as it stands; each key it cannot take as written is named.
TEST(SettingsFileWarnings, OneLinePerKeyNamingFileAndLine) {
  const struct {
    const char* text;
    const char* warnings;
  } table[] = {
      {"[tweak]\nminutes=480\nthread=high\nlog=\nerrmax=-1\nverbose = 1 \n", ""},
      {"[tweak]\nminuts=480\n", "k.ini:2: unknown key minuts (ignored)\n"},
      {"; c\r\n\r\n[Tweak]\r\nminutes=eight\r\n", "k.ini:4: minutes=eight is not a whole number of 32 bits (read as 0)\n"},
      {"[tweak]\nminutes=30 # half an hour\n", "k.ini:2: minutes=30 # half an hour is not a whole number of 32 bits (read as 30)\n"},
      {"[tweak]\nerrmax=4294967296\n", "k.ini:2: errmax=4294967296 is not a whole number of 32 bits (read as 0)\n"},
      {"[tweak]\nthread=highest\n", "k.ini:2: thread=highest is not one of normal, below, above, high (normal is used)\n"},
      {"[tweak]\nverbose=1\nVERBOSE=0\n", "k.ini:3: VERBOSE=0 repeats verbose (ignored: the first one counts)\n"},
      // Other sections, a repeated [tweak], comments: not read, not named.
      {"[other]\nfoo=1\n[tweak]\nminutes=1\n[tweak]\nminuts=2\n;minuts=3\n", ""},
  };
  for (const auto& row : table) EXPECT_EQ(settingsFileWarnings(row.text, "k.ini"), row.warnings) << row.text;
}
