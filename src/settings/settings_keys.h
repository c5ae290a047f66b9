// The keys of the settings file's [tweak] section in one table: the reader
// takes its keys from here and the help lists every one of them.
#pragma once

#include <string_view>

namespace kelvaring {

struct SettingsKey {
  std::string_view name;
  std::string_view value;  // what the help shows after "name="
  std::string_view help;   // what it does; a "\n" continues on the next line
};

inline constexpr SettingsKey kSettingsKeys[] = {
    {"verbose", "1", "extra lines: priorities, memory lock, times, error detail"},
    {"timeout", "MS", "pause after every cycle, in milliseconds (-1: until a stop)"},
    {"signal", "1", "terminal bell with every error report"},
    {"method", "1", "bits that ever differed are set in every value written"},
    {"topmem", "1", "buffer B placed top-down"},
    {"errmax", "N", "stop after N error reports (0: no limit)"},
    {"coverage", "N", "end in order once the coverage reaches N %"},
    {"minutes", "N", "end in order after N minutes"},
    {"retire", "1", "take failing physical pages out of service (Linux, as root)"},
    {"sweep", "PERCENT", "share of the worker's time for compare sweeps of both\nbuffers (default 10; 0: none)"},
    {"workers", "N", "workers side by side, each on its own slice (1: one;\n0: one per CPU of the affinity mask and cgroup quota)"},
    {"process", "LEVEL", "normal, above or high"},
    {"thread", "LEVEL", "normal, below, above or high"},
    {"console", "1", "prints \"new console created.\" and nothing more"},
    {"log", "PATH", "results log, one JSON line per event, appended (a relative\npath is taken beside the settings file)"},
    {"metrics", "PATH", "Prometheus metrics, rewritten whole every 15 s and after\nevery error report (relative: beside the settings file)"},
};

// The name of a key of the table. Checked while compiling: a name missing
// from the table is no constant expression, so the reader cannot read a key
// that the help leaves out.
consteval std::string_view settingsKey(std::string_view name) {
  for (const SettingsKey& key : kSettingsKeys)
    if (key.name == name) return key.name;
  throw "not a key of kSettingsKeys";
}

}  // namespace kelvaring
