// Reading values from the text of a settings file in the .ini "profile"
// layout: [section] headers followed by key=value lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelvaring {

// Whether two names are the same but for the case of the letters A to Z.
bool sameName(std::string_view a, std::string_view b);

// One key=value line of a section: its line number (from 1), key and value,
// both without the blanks around them.
struct ProfileEntry {
  size_t line;
  std::string_view key;
  std::string_view value;
};

// Every entry of the first occurrence of `section`, in the file's order; a
// repeated section is not read. The values below are those of the first
// entry of each key.
std::vector<ProfileEntry> sectionEntries(std::string_view text, std::string_view section);

// The integer value of `key` in `section`, or defaultValue when the section
// or key is missing. The value's leading decimal digits, with an optional
// sign, are read modulo 2^32; a value without digits reads as 0.
int32_t profileInt(std::string_view text, std::string_view section, std::string_view key,
                   int32_t defaultValue);

// The text value of `key` in `section`, or defaultValue when missing. Behaves
// like a read into a buffer of bufferSize characters: at most bufferSize - 1
// characters arrive, longer values (and defaults) are cut.
// Whether `section` has an entry for `key`.
bool profileHasKey(std::string_view text, std::string_view section, std::string_view key);

// Whether `value` reads as profileInt reads it without anything left over:
// an optional sign and at least one digit, within 32 bits of either sign.
bool isWholeNumber(std::string_view value);

// The value read as profileInt reads it.
int32_t profileNumber(std::string_view value);

std::string profileString(std::string_view text, std::string_view section, std::string_view key,
                          std::string_view defaultValue, size_t bufferSize);

}  // namespace kelvaring
