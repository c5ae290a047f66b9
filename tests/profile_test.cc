#include "settings/profile.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

using kelvaring::profileInt;
using kelvaring::profileString;

namespace {

std::string readString(std::string_view text, std::string_view section, std::string_view key,
                       size_t bufferSize = 256) {
  return profileString(text, section, key, "<default>", bufferSize);
}

}  // namespace

TEST(ProfileSections, SectionNameIgnoresCase) {
  EXPECT_EQ(profileInt("[TWEAK]\nsize=5\n", "tweak", "size", -7), 5);
  EXPECT_EQ(profileInt("[tweak]\nsize=5\n", "TWEAK", "size", -7), 5);
  EXPECT_EQ(profileInt("[TwEaK]\nsize=5\n", "tWeAk", "size", -7), 5);
}

TEST(ProfileSections, OtherSectionsAreIgnored) {
  const char* text = "[a]\nx=1\n[b]\nx=2\ny=3\n[c]\nx=4\n";
  EXPECT_EQ(profileInt(text, "b", "x", -7), 2);
  EXPECT_EQ(profileInt(text, "a", "y", -7), -7);
  EXPECT_EQ(profileInt(text, "c", "y", -7), -7);
  EXPECT_EQ(profileInt(text, "d", "x", -7), -7);
}

TEST(ProfileSections, EntriesBeforeAnyHeaderBelongNowhere) {
  const char* text = "x=1\n[a]\ny=2\n";
  EXPECT_EQ(profileInt(text, "", "x", -7), -7);
  EXPECT_EQ(profileInt(text, "a", "x", -7), -7);
  EXPECT_EQ(profileInt(text, "a", "y", -7), 2);
}

TEST(ProfileSections, BlanksAroundNameAndTextAfterBracket) {
  EXPECT_EQ(profileInt("  [ \tmain\t ] trailing words\nx=1\n", "main", "x", -7), 1);
}

TEST(ProfileSections, BracketLineWithoutCloseIsIgnored) {
  // The broken line neither starts a section nor ends the current one.
  const char* text = "[a]\n[b\nx=1\n";
  EXPECT_EQ(profileInt(text, "a", "x", -7), 1);
  EXPECT_EQ(profileInt(text, "b", "x", -7), -7);
}

TEST(ProfileSections, OnlyTheFirstOccurrenceOfASectionIsRead) {
  const char* text = "[b]\nx=9\n[a]\nx=1\n[b]\nz=8\n[A]\nx=2\ny=3\n";
  EXPECT_EQ(profileInt(text, "a", "x", -7), 1);
  EXPECT_EQ(profileInt(text, "a", "y", -7), -7);
  EXPECT_EQ(profileInt(text, "b", "z", -7), -7);
}

TEST(ProfileSections, ByteOrderMarkAtTheStartIsSkipped) {
  EXPECT_EQ(profileInt("\xEF\xBB\xBF[s]\nk=5\n", "s", "k", -7), 5);
  // Only at the very start: elsewhere the bytes belong to the text.
  EXPECT_EQ(profileInt("\n\xEF\xBB\xBF[s]\nk=5\n", "s", "k", -7), -7);
}

TEST(ProfileKeys, KeyNameIgnoresCase) {
  EXPECT_EQ(profileInt("[s]\nBlockSize=8\n", "s", "blocksize", -7), 8);
  EXPECT_EQ(profileInt("[s]\nblocksize=8\n", "s", "BLOCKSIZE", -7), 8);
}

TEST(ProfileKeys, OnlyAsciiLettersFoldCase) {
  EXPECT_EQ(readString("[s]\nk\xC3\xA9=v\n", "s", "K\xC3\xA9"), "v");
  EXPECT_EQ(readString("[s]\nk\xC3\xA9=v\n", "s", "K\xC3\x89"), "<default>");
}

TEST(ProfileKeys, BlanksAroundKeyAndValue) {
  EXPECT_EQ(readString("[s]\n \t name \t=\t  some value \t\n", "s", "name"), "some value");
}

TEST(ProfileKeys, SplitAtFirstEquals) {
  EXPECT_EQ(readString("[s]\nk = a=b\n", "s", "k"), "a=b");
}

TEST(ProfileKeys, LinesWithoutEqualsOrKeyAreIgnored) {
  const char* text = "[s]\njust words\n=5\n  = 6\nk=1\n";
  EXPECT_EQ(readString(text, "s", "just words"), "<default>");
  EXPECT_EQ(readString(text, "s", ""), "<default>");
  EXPECT_EQ(profileInt(text, "s", "k", -7), 1);
}

TEST(ProfileKeys, CommentLines) {
  const char* text = "[s]\n;k=1\n  # k=2\nk=3 ; not a comment\n";
  EXPECT_EQ(readString(text, "s", "k"), "3 ; not a comment");
  EXPECT_EQ(readString(text, "s", ";k"), "<default>");
  EXPECT_EQ(readString(text, "s", "# k"), "<default>");
}

TEST(ProfileKeys, FirstOccurrenceWins) {
  EXPECT_EQ(profileInt("[s]\nk=1\nK=2\nk=3\n", "s", "k", -7), 1);
}

TEST(ProfileKeys, MissingKeyGivesDefault) {
  EXPECT_EQ(profileInt("[s]\nk=1\n", "s", "other", -7), -7);
  EXPECT_EQ(profileInt("", "s", "k", 42), 42);
  EXPECT_EQ(readString("[s]\nk=1\n", "s", "other"), "<default>");
}

TEST(ProfileLines, CrLfLineEnds) {
  const char* text = "[a]\r\nx=1\r\ny = two \r\n";
  EXPECT_EQ(profileInt(text, "a", "x", -7), 1);
  EXPECT_EQ(readString(text, "a", "y"), "two");
}

TEST(ProfileLines, CrOnlyLineEnds) {
  const char* text = "[a]\rx=1\ry=two\r[b]\rx=3";
  EXPECT_EQ(profileInt(text, "a", "x", -7), 1);
  EXPECT_EQ(readString(text, "a", "y"), "two");
  EXPECT_EQ(profileInt(text, "b", "x", -7), 3);
}

TEST(ProfileLines, LastLineWithoutEnd) {
  EXPECT_EQ(readString("[a]\nx=1\ny=last", "a", "y"), "last");
  EXPECT_EQ(profileInt("[a]\nx=12", "a", "x", -7), 12);
}

TEST(ProfileLines, NulAndHighBytesAreOrdinary) {
  const char raw[] = "[a]\nk=x\0y\xFF\n";
  std::string text(raw, sizeof raw - 1);
  EXPECT_EQ(readString(text, "a", "k"), std::string("x\0y\xFF", 4));
}

TEST(ProfileInt, Signs) {
  EXPECT_EQ(profileInt("[s]\nk=-1\n", "s", "k", 9), -1);
  EXPECT_EQ(profileInt("[s]\nk=+15\n", "s", "k", 9), 15);
  EXPECT_EQ(profileInt("[s]\nk=--1\n", "s", "k", 9), 0);
  EXPECT_EQ(profileInt("[s]\nk=-\n", "s", "k", 9), 0);
}

TEST(ProfileInt, WrapsModulo32Bits) {
  EXPECT_EQ(profileInt("[s]\nk=4294967295\n", "s", "k", 9), -1);
  EXPECT_EQ(profileInt("[s]\nk=4294967296\n", "s", "k", 9), 0);
  EXPECT_EQ(profileInt("[s]\nk=2147483648\n", "s", "k", 9), INT32_MIN);
  EXPECT_EQ(profileInt("[s]\nk=-2147483648\n", "s", "k", 9), INT32_MIN);
  EXPECT_EQ(profileInt("[s]\nk=2147483647\n", "s", "k", 9), INT32_MAX);
  EXPECT_EQ(profileInt("[s]\nk=-4294967297\n", "s", "k", 9), -1);
  // 10^20 mod 2^32 = 1661992960
  EXPECT_EQ(profileInt("[s]\nk=100000000000000000000\n", "s", "k", 9), 1661992960);
}

TEST(ProfileInt, LeadingDigitsOnly) {
  EXPECT_EQ(profileInt("[s]\nk=12abc\n", "s", "k", 9), 12);
  EXPECT_EQ(profileInt("[s]\nk=0x10\n", "s", "k", 9), 0);
  EXPECT_EQ(profileInt("[s]\nk=  7 8\n", "s", "k", 9), 7);
}

TEST(ProfileInt, NoNumberGivesZero) {
  EXPECT_EQ(profileInt("[s]\nk=abc\n", "s", "k", 9), 0);
  EXPECT_EQ(profileInt("[s]\nk=\n", "s", "k", 9), 0);
  EXPECT_EQ(profileInt("[s]\nk=   \n", "s", "k", 9), 0);
}

TEST(ProfileString, EmptyValueIsNotMissing) {
  EXPECT_EQ(readString("[s]\nk=\n", "s", "k"), "");
  EXPECT_EQ(readString("[s]\nk = \t\n", "s", "k"), "");
}

TEST(ProfileString, CutToBufferSize) {
  std::string value(32, 'v');
  std::string text = "[s]\nk=" + value + "\n";
  EXPECT_EQ(readString(text, "s", "k", 32), std::string(31, 'v'));
  EXPECT_EQ(readString(text, "s", "k", 33), value);
  EXPECT_EQ(readString(text, "s", "k", 1), "");
  EXPECT_EQ(readString(text, "s", "k", 0), "");
}

TEST(ProfileString, DefaultIsCutToo) {
  EXPECT_EQ(profileString("", "s", "k", "abcdef", 4), "abc");
  EXPECT_EQ(profileString("", "s", "k", "abcdef", 0), "");
  EXPECT_EQ(profileString("", "s", "k", "abcdef", 100), "abcdef");
}
