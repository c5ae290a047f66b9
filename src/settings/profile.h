// Reading values from the text of a settings file in the .ini "profile"
// layout: [section] headers followed by key=value lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kelvaring {

// Whether two names are the same but for the case of the letters A to Z.
bool sameName(std::string_view a, std::string_view b);

// The integer value of `key` in `section`, or defaultValue when the section
// or key is missing. The value's leading decimal digits, with an optional
// sign, are read modulo 2^32; a value without digits reads as 0.
int32_t profileInt(std::string_view text, std::string_view section, std::string_view key,
                   int32_t defaultValue);

// The text value of `key` in `section`, or defaultValue when missing. Behaves
// like a read into a buffer of bufferSize characters: at most bufferSize - 1
// characters arrive, longer values (and defaults) are cut.
std::string profileString(std::string_view text, std::string_view section, std::string_view key,
                          std::string_view defaultValue, size_t bufferSize);

}  // namespace kelvaring
