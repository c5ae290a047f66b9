// The keys of the settings file's [tweak] section in one table: the reader
// takes its keys from here and the help lists every one of them.
#pragma once

#include <string_view>

namespace kelvaring {

// What a value must read as: a whole number (32 bits, either sign), one of
// a key's level names, or any text (a path; empty: none).
enum class ValueKind { integer, level, path };

struct SettingsKey {
  std::string_view name;
  std::string_view value;  // what the help shows after "name="
  std::string_view help;   // what it does; a "\n" continues on the next line
  std::string_view byDefault;  // the value without the key, as the help shows it
  ValueKind kind = ValueKind::integer;
};

inline constexpr SettingsKey kSettingsKeys[] = {
    {"verbose", "1", "extra lines: priorities, memory lock, times, error detail", "0"},
    {"timeout", "MS", "pause after every cycle, in milliseconds (-1: until a stop)", "0"},
    {"signal", "1", "terminal bell with every error report", "0"},
    {"method", "1", "bits that ever differed are set in every value written", "0"},
    {"topmem", "1", "buffer B placed top-down", "0"},
    {"errmax", "N", "stop after N error reports (0: no limit)", "0"},
    {"coverage", "N", "end in order once the coverage reaches N % (0: never)", "0"},
    {"minutes", "N", "end in order after N minutes (0: never)", "0"},
    {"retire", "1", "take failing physical pages out of service (Linux, as root)", "0"},
    {"sweep", "PERCENT", "share of the worker's time for compare sweeps of both\nbuffers (0: none)", "10"},
    {"workers", "N", "workers side by side, each on its own slice (1: one;\n0: one per CPU of the affinity mask and cgroup quota)", "1"},
    {"process", "LEVEL", "normal, above or high", "normal", ValueKind::level},
    {"thread", "LEVEL", "normal, below, above or high", "normal", ValueKind::level},
    {"console", "1", "prints \"new console created.\" and nothing more", "0"},
    {"log", "PATH", "results log, one JSON line per event, appended (a relative\npath is taken beside the settings file)", "none", ValueKind::path},
    {"metrics", "PATH", "Prometheus metrics, rewritten whole every 15 s and after\nevery error report (relative: beside the settings file)", "none", ValueKind::path},
    {"progress", "N", "one progress line with a line end every N seconds (0: one\nline rewritten in place twice a second)", "0"},
    {"eccfail", "0", "a rise of a corrected-error count is reported and logged,\nnot counted as an error (uncorrected ones always count)", "1"},
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
