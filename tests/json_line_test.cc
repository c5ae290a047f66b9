// The pieces of a JSON line: strings and times.
#include "report/json_line.h"

#include <gtest/gtest.h>

namespace kelvaring {
namespace {

std::string jsonString(std::string_view text) {
  std::string out;
  appendJsonString(out, text);
  return out;
}

TEST(ResultsLogJson, StringsEscapedAsJsonRequires) {
  struct Case {
    std::string_view text;
    std::string_view json;
  };
  const Case cases[] = {
      {"", R"("")"},
      {"/var/log/kelvaring.jsonl", R"("/var/log/kelvaring.jsonl")"},
      {"a\"b", R"("a\"b")"},
      {"a\\b", R"("a\\b")"},
      {"\b\f\n\r\t", R"("\b\f\n\r\t")"},
      {std::string_view("\x00\x01\x1f", 3), R"("\u0000\u0001\u001f")"},
      {"\x7f", R"("\u007f")"},
      {"/", R"("/")"},
      // Valid UTF-8 passes as it is, up to four bytes.
      {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\""},
      {"\xf4\x8f\xbf\xbf", "\"\xf4\x8f\xbf\xbf\""},
      // Bytes that are no UTF-8 take their value as the code point.
      {"\xe9", R"("\u00e9")"},
      {"\x80", R"("\u0080")"},
      {"\xc3", R"("\u00c3")"},
      {"\xc3" "a", R"("\u00c3a")"},
      {"\xc0\xaf", R"("\u00c0\u00af")"},          // overlong
      {"\xe0\x80\xaf", R"("\u00e0\u0080\u00af")"},  // overlong
      {"\xed\xa0\x80", R"("\u00ed\u00a0\u0080")"},  // a surrogate
      {"\xf0\x8f\xbf\xbf", R"("\u00f0\u008f\u00bf\u00bf")"},  // overlong
      {"\xf4\x90\x80\x80", R"("\u00f4\u0090\u0080\u0080")"},  // past U+10FFFF
      // Cut short by the end of the string, though the byte after it would
      // continue the sequence.
      {std::string_view("\xe2\x82\xac", 2), R"("\u00e2\u0082")"},
      {std::string_view("\xf0\x9f\x98\x80", 3), R"("\u00f0\u009f\u0098")"},
      {"\xff", R"("\u00ff")"},
  };
  for (const Case& c : cases) EXPECT_EQ(jsonString(c.text), c.json) << c.json;
}

TEST(ResultsLogJson, TimesWithTheirUtcOffset) {
  struct Case {
    int64_t milliseconds;
    int32_t offset;
    const char* text;
  };
  const Case cases[] = {
      {0, 0, "1970-01-01T00:00:00.000+00:00"},
      {1796647509042, 3600, "2026-12-07T13:45:09.042+01:00"},
      {1709251199999, 0, "2024-02-29T23:59:59.999+00:00"},
      {1709251199999, -19800, "2024-02-29T18:29:59.999-05:30"},
      {951782400000, 0, "2000-02-29T00:00:00.000+00:00"},
      {4102444799999, 50400, "2100-01-01T13:59:59.999+14:00"},
  };
  for (const Case& c : cases) {
    char text[kIsoTimeLength];
    formatIsoTime(c.milliseconds, c.offset, text);
    EXPECT_EQ(std::string(text, kIsoTimeLength), c.text);
  }
}

}  // namespace
}  // namespace kelvaring
