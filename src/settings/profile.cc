#include "settings/profile.h"

#include <optional>

namespace kelvaring {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimBlanks(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
  return s;
}

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Takes the next line off the front of `rest`, without its end. A line ends
// at "\n", "\r\n" or a lone "\r"; the last one may have no end at all.
std::string_view takeLine(std::string_view& rest) {
  size_t end = 0;
  while (end < rest.size() && rest[end] != '\n' && rest[end] != '\r') ++end;
  std::string_view line = rest.substr(0, end);
  size_t skip = end;
  if (skip < rest.size()) {
    if (rest[skip] == '\r' && skip + 1 < rest.size() && rest[skip + 1] == '\n') ++skip;
    ++skip;
  }
  rest.remove_prefix(skip);
  return line;
}

// The name inside "[name]" when `line` (already trimmed) is a section header.
// A "[" line without "]" is not a header.
std::optional<std::string_view> sectionName(std::string_view line) {
  if (line.empty() || line.front() != '[') return std::nullopt;
  size_t close = line.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return trimBlanks(line.substr(1, close - 1));
}

// Editors on some systems start a UTF-8 file with a byte order mark, which
// would otherwise hide the first section header.
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// The value of the first entry for `key` inside the first occurrence of
// `section`; nullopt when there is none.
std::optional<std::string_view> findValue(std::string_view text, std::string_view section,
                                          std::string_view key) {
  for (const ProfileEntry& entry : sectionEntries(text, section))
    if (sameName(entry.key, key)) return entry.value;
  return std::nullopt;
}

// Leading decimal digits after an optional sign, accumulated in unsigned
// arithmetic so that long numbers wrap modulo 2^32 instead of overflowing.
int32_t parseInt(std::string_view value) {
  bool negative = false;
  size_t i = 0;
  if (i < value.size() && (value[i] == '+' || value[i] == '-')) {
    negative = value[i] == '-';
    ++i;
  }
  uint32_t number = 0;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    number = number * 10u + static_cast<uint32_t>(value[i] - '0');
  }
  if (negative) number = 0u - number;
  return static_cast<int32_t>(number);  // two's complement pattern since C++20
}

std::string cutToBuffer(std::string_view s, size_t bufferSize) {
  if (bufferSize == 0) return std::string();
  return std::string(s.substr(0, bufferSize - 1));
}

}  // namespace

std::vector<ProfileEntry> sectionEntries(std::string_view text, std::string_view section) {
  std::vector<ProfileEntry> entries;
  std::string_view rest = text;
  if (rest.starts_with(kByteOrderMark)) rest.remove_prefix(kByteOrderMark.size());
  // Entries before the first header belong to no section, so start outside.
  bool inSection = false;
  for (size_t number = 1; !rest.empty(); ++number) {
    std::string_view line = trimBlanks(takeLine(rest));
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      std::optional<std::string_view> name = sectionName(line);
      if (!name) continue;
      if (inSection) break;  // the first occurrence has ended
      inSection = sameName(*name, section);
      continue;
    }
    size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    std::string_view entryKey = trimBlanks(line.substr(0, equals));
    if (entryKey.empty() || !inSection) continue;
    entries.push_back({number, entryKey, trimBlanks(line.substr(equals + 1))});
  }
  return entries;
}

bool isWholeNumber(std::string_view value) {
  size_t i = value.starts_with('+') || value.starts_with('-') ? 1 : 0;
  if (i == value.size()) return false;
  uint64_t number = 0;
  for (; i < value.size(); ++i) {
    if (value[i] < '0' || value[i] > '9') return false;
    number = number * 10 + static_cast<uint64_t>(value[i] - '0');
    if (number > 0xFFFFFFFFu) return false;
  }
  // Negative numbers down to -2^31; positive ones up to 2^32 - 1, which
  // unsigned keys (errmax, minutes) take as they are.
  return !value.starts_with('-') || number <= 0x80000000u;
}

int32_t profileNumber(std::string_view value) { return parseInt(value); }

bool profileHasKey(std::string_view text, std::string_view section, std::string_view key) {
  return findValue(text, section, key).has_value();
}

// Only A-Z and a-z fold; every other byte has to match exactly.
bool sameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
  }
  return true;
}

int32_t profileInt(std::string_view text, std::string_view section, std::string_view key,
                   int32_t defaultValue) {
  std::optional<std::string_view> value = findValue(text, section, key);
  if (!value) return defaultValue;
  return parseInt(*value);
}

std::string profileString(std::string_view text, std::string_view section, std::string_view key,
                          std::string_view defaultValue, size_t bufferSize) {
  std::optional<std::string_view> value = findValue(text, section, key);
  return cutToBuffer(value ? *value : defaultValue, bufferSize);
}

}  // namespace kelvaring
