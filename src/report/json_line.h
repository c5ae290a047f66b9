// The pieces of a JSON line: strings escaped as JSON requires, numbers,
// hexadecimal words and addresses, and the time of an event. What the fault
// record uses writes into a caller's buffer and allocates nothing, so that
// it can run while a fault is handled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kelvaring {

// The length of the valid UTF-8 sequence of two to four bytes at `at`, or 0.
size_t utf8SequenceLength(const unsigned char* at, size_t left);

// Appends `text` as a JSON string, quotes included. Quotes, backslashes and
// control characters are escaped (\b \f \n \r \t, else \u00XX); valid UTF-8
// passes as it is; a byte that is not part of valid UTF-8 becomes \u00XX,
// its value taken as the code point, so that the line stays valid JSON.
void appendJsonString(std::string& out, std::string_view text);

// ISO 8601 local time with the UTC offset, to the millisecond, as
// "2026-12-07T13:05:09.042+01:00" (kIsoTimeLength characters, no
// terminator). Allocates nothing: usable while a fault is handled.
inline constexpr size_t kIsoTimeLength = 29;
void formatIsoTime(int64_t epochMilliseconds, int32_t utcOffsetSeconds, char* out);

// `digits` hexadecimal digits of `value`, the last ones, upper or lower case.
void appendHex(std::string& out, uint64_t value, int digits, bool upper);

// The members of an object, each as ,"key":value after what `out` holds.
// Addresses as the console prints them: 16 upper-case hexadecimal digits.
void addAddress(std::string& out, const char* key, uintptr_t address);
// Words as the console prints them: 8 lower-case hexadecimal digits.
void addWord(std::string& out, const char* key, uint32_t word);
void addRaw(std::string& out, const char* key, std::string_view value);
void addNumber(std::string& out, const char* key, uint64_t value);
void addSigned(std::string& out, const char* key, int64_t value);
void addBool(std::string& out, const char* key, bool value);
void addFixed(std::string& out, const char* key, double value, int decimals);
void addString(std::string& out, const char* key, std::string_view value);

// Into a caller's buffer, allocating nothing; each returns the characters
// written. `text` without its terminator:
size_t copyText(char* out, const char* text);
// `digits` hexadecimal digits of `value`, as appendHex.
size_t copyHex(char* out, uint64_t value, int digits, bool upper);

}  // namespace kelvaring
