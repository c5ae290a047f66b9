// The pieces of a JSON line: escaping, numbers, hexadecimal and times.
#include "report/json_line.h"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace kelvaring {

size_t utf8SequenceLength(const unsigned char* at, size_t left) {
  auto continues = [&](size_t i, unsigned char low = 0x80, unsigned char high = 0xBF) {
    return i < left && at[i] >= low && at[i] <= high;
  };
  unsigned char lead = at[0];
  if (lead >= 0xC2 && lead <= 0xDF) return continues(1) ? 2 : 0;
  if (lead >= 0xE0 && lead <= 0xEF) {
    // No overlong forms (E0 80-9F), no surrogates (ED A0-BF).
    unsigned char low = lead == 0xE0 ? 0xA0 : 0x80;
    unsigned char high = lead == 0xED ? 0x9F : 0xBF;
    return continues(1, low, high) && continues(2) ? 3 : 0;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    // Nothing overlong (F0 80-8F), nothing past U+10FFFF (F4 90-BF).
    unsigned char low = lead == 0xF0 ? 0x90 : 0x80;
    unsigned char high = lead == 0xF4 ? 0x8F : 0xBF;
    return continues(1, low, high) && continues(2) && continues(3) ? 4 : 0;
  }
  return 0;
}

void appendHex(std::string& out, uint64_t value, int digits, bool upper) {
  const char* hex = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += hex[(value >> shift) & 0xF];
}

namespace {

// A string of `digits` hexadecimal digits.
void addHex(std::string& out, const char* key, uint64_t value, int digits, bool upper) {
  out += ",\"";
  out += key;
  out += "\":\"";
  appendHex(out, value, digits, upper);
  out += '"';
}

}  // namespace

void addAddress(std::string& out, const char* key, uintptr_t address) { addHex(out, key, address, 16, true); }
void addWord(std::string& out, const char* key, uint32_t word) { addHex(out, key, word, 8, false); }

void addRaw(std::string& out, const char* key, std::string_view value) {
  out += ",\"";
  out += key;
  out += "\":";
  out += value;
}

namespace {

template <typename Integer>
void addInteger(std::string& out, const char* key, Integer value) {
  char text[24];
  char* end = std::to_chars(text, text + sizeof text, value).ptr;
  addRaw(out, key, std::string_view(text, static_cast<size_t>(end - text)));
}

// The last `digits` decimal digits of a value that is not negative, zeros
// in front: the fixed width of a time's fields, which std::to_chars does
// not pad.
void putDigits(char* out, int64_t value, int digits) {
  for (int i = digits - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
}

}  // namespace

void addNumber(std::string& out, const char* key, uint64_t value) { addInteger(out, key, value); }
void addSigned(std::string& out, const char* key, int64_t value) { addInteger(out, key, value); }
void addBool(std::string& out, const char* key, bool value) { addRaw(out, key, value ? "true" : "false"); }

void addFixed(std::string& out, const char* key, double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  addRaw(out, key, text);
}

void addString(std::string& out, const char* key, std::string_view value) {
  out += ",\"";
  out += key;
  out += "\":";
  appendJsonString(out, value);
}

size_t copyText(char* out, const char* text) {
  size_t n = std::strlen(text);
  std::memcpy(out, text, n);
  return n;
}

size_t copyHex(char* out, uint64_t value, int digits, bool upper) {
  const char* hex = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  for (int i = 0; i < digits; ++i) out[i] = hex[(value >> ((digits - 1 - i) * 4)) & 0xF];
  return static_cast<size_t>(digits);
}

void appendJsonString(std::string& out, std::string_view text) {
  out += '"';
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0; i < text.size();) {
    unsigned char c = bytes[i];
    if (c >= 0x80) {
      if (size_t n = utf8SequenceLength(bytes + i, text.size() - i)) {
        out.append(text.data() + i, n);
        i += n;
        continue;
      }
    }
    ++i;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          out += "\\u00";
          appendHex(out, c, 2, false);
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

void formatIsoTime(int64_t epochMilliseconds, int32_t utcOffsetSeconds, char* out) {
  using namespace std::chrono;
  // The calendar's arithmetic alone (proleptic Gregorian): nothing that
  // asks the system or allocates.
  const sys_time<milliseconds> local{milliseconds{epochMilliseconds + int64_t{utcOffsetSeconds} * 1000}};
  const sys_days day = floor<days>(local);
  const year_month_day date{day};
  const hh_mm_ss<milliseconds> time{local - day};
  putDigits(out, static_cast<int>(date.year()), 4);
  out[4] = '-';
  putDigits(out + 5, static_cast<unsigned>(date.month()), 2);
  out[7] = '-';
  putDigits(out + 8, static_cast<unsigned>(date.day()), 2);
  out[10] = 'T';
  putDigits(out + 11, time.hours().count(), 2);
  out[13] = ':';
  putDigits(out + 14, time.minutes().count(), 2);
  out[16] = ':';
  putDigits(out + 17, time.seconds().count(), 2);
  out[19] = '.';
  putDigits(out + 20, time.subseconds().count(), 3);
  int32_t offset = utcOffsetSeconds < 0 ? -utcOffsetSeconds : utcOffsetSeconds;
  out[23] = utcOffsetSeconds < 0 ? '-' : '+';
  putDigits(out + 24, offset / 3600, 2);
  out[26] = ':';
  putDigits(out + 27, offset / 60 % 60, 2);
}

}  // namespace kelvaring
