#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/test_run.h"
#include "kelvaring/state.h"
#include "platform/system_info.h"
#include "random/remainder.h"
#include "random/subtractive_random.h"

namespace kelvaring {
namespace {

constexpr uint32_t kExampleTime = 1103285978;
constexpr std::string_view kExampleNotice = "Example notice text, 29 chars";

SubtractiveRandom seededExample() {
  SubtractiveRandom g{};
  seedGenerator(g, kExampleTime, kExampleNotice);
  return g;
}

std::vector<uint32_t> draws(SubtractiveRandom& g, int count) {
  std::vector<uint32_t> out;
  for (int i = 0; i < count; ++i) out.push_back(nextRandom(g));
  return out;
}

// Every slot holds a value of its own, so a wrong slot shows in the result.
SubtractiveRandom distinctSlots() {
  SubtractiveRandom g{};
  for (uint32_t i = 0; i < 98; ++i) g.slots[i] = 0x1000 + i * 0x101;
  return g;
}

TEST(SubtractiveRandomSeedText, TenDigitTimeIsPaddedToNinetyEight) {
  Text text = buildSeedText(kExampleTime, kExampleNotice);
  std::string expected = "aEbFcGdHeI1103285978 Example notice text, 29 chars";
  for (int i = 0; i < 24; ++i) expected += "K$";
  EXPECT_EQ(text.str(), expected);
  EXPECT_EQ(text.length(), 98u);
  EXPECT_EQ(text.at(97), '$');
}

TEST(SubtractiveRandomSeedText, NineDigitTimeIsPaddedToNinetyNine) {
  Text text = buildSeedText(999999999, kExampleNotice);
  std::string expected = "aEbFcGdHeI999999999 Example notice text, 29 chars";
  for (int i = 0; i < 25; ++i) expected += "K$";
  EXPECT_EQ(text.str(), expected);
  EXPECT_EQ(text.length(), 99u);
}

TEST(SubtractiveRandomSeedText, NoticeIsReadOnlyUpToItsLength) {
  // The view stops before "TAIL"; nothing past it may enter the text.
  const char buffer[] = "Example notice text, 29 charsTAIL";
  std::string_view notice(buffer, 29);
  Text text = buildSeedText(kExampleTime, notice);
  EXPECT_EQ(text.str().find("TAIL"), std::string::npos);
  EXPECT_EQ(text.str(), buildSeedText(kExampleTime, kExampleNotice).str());
}

TEST(SubtractiveRandomSeed, FillGivesTheExampleSlots) {
  SubtractiveRandom g{};
  fillSlots(g, buildSeedText(kExampleTime, kExampleNotice));
  EXPECT_EQ(g.slots[1], 0x219BA8FEu);
  EXPECT_EQ(g.slots[2], 0x2FBBB334u);
  EXPECT_EQ(g.slots[55], 0x1189B1E7u);
  EXPECT_EQ(g.slots[97], 0x118A5579u);
}

TEST(SubtractiveRandomSeed, HighCharacterCountsAsNegative) {
  // Position 30 of the seed text is index 9 of the notice with a ten-digit
  // time: 10 letters, 10 digits and a space come first.
  std::string notice(kExampleNotice);
  notice[9] = static_cast<char>(0xA9);
  Text text = buildSeedText(kExampleTime, notice);
  ASSERT_EQ(static_cast<unsigned char>(text.at(30)), 0xA9u);
  SubtractiveRandom g{};
  fillSlots(g, text);
  EXPECT_EQ(g.slots[30], 0xD5A061E3u);  // 997*30 - 87*8171717
}

TEST(SubtractiveRandomSeed, WarmUpGivesTheExampleSlots) {
  SubtractiveRandom g{};
  fillSlots(g, buildSeedText(kExampleTime, kExampleNotice));
  warmUp(g);
  EXPECT_EQ(g.slots[1], 0xEB0E3957u);
  EXPECT_EQ(g.slots[24], 0x1A56682Eu);
  EXPECT_EQ(g.slots[55], 0x51B3FEE5u);
  EXPECT_EQ(g.slots[90], 0xE5F4FA8Du);
  EXPECT_EQ(g.slots[97], 0xA260D5A8u);
}

TEST(SubtractiveRandomSeed, SeedGeneratorSetsSlotsAndIndexes) {
  SubtractiveRandom g;
  std::memset(&g, 0x5A, sizeof g);  // whatever was there before must go
  seedGenerator(g, kExampleTime, kExampleNotice);
  SubtractiveRandom expected{};
  fillSlots(expected, buildSeedText(kExampleTime, kExampleNotice));
  warmUp(expected);
  for (int i = 1; i <= 97; ++i) EXPECT_EQ(g.slots[i], expected.slots[i]) << "slot " << i;
  EXPECT_EQ(g.writeIndex, 55);
  EXPECT_EQ(g.subtractIndex, 24);
  EXPECT_EQ(g.lastOutput, 77u);
}

TEST(SubtractiveRandomDraw, FirstTwoDrawsOfTheExample) {
  SubtractiveRandom g = seededExample();
  EXPECT_EQ(nextRandom(g), 0xE5F4FA8Du);
  EXPECT_EQ(g.slots[55], 0x375D96B7u);
  EXPECT_EQ(g.writeIndex, 54);
  EXPECT_EQ(g.subtractIndex, 23);
  EXPECT_EQ(g.slots[90], 0x375D96B7u);
  EXPECT_EQ(g.lastOutput, 0xE5F4FA8Du);

  EXPECT_EQ(nextRandom(g), 0x383E2E55u);
  EXPECT_EQ(g.slots[54], 0x0E5F0520u);
  EXPECT_EQ(g.slots[58], 0x0E5F0520u);
  EXPECT_EQ(g.writeIndex, 53);
  EXPECT_EQ(g.subtractIndex, 22);
}

TEST(SubtractiveRandomDraw, ExampleSequence) {
  SubtractiveRandom g = seededExample();
  std::vector<uint32_t> out = draws(g, 1000);
  std::vector<uint32_t> firstEight(out.begin(), out.begin() + 8);
  EXPECT_EQ(firstEight, (std::vector<uint32_t>{0xE5F4FA8D, 0x383E2E55, 0x1F481224, 0x38BD4DC2,
                                               0xEAEDA342, 0xA3F9BF03, 0xC7904FFE, 0xD180052B}));
  EXPECT_EQ(out[54], 0x7249DFCBu);
  EXPECT_EQ(out[55], 0xDA60B308u);
  EXPECT_EQ(out[99], 0x52D6E8C0u);
  EXPECT_EQ(out[999], 0x13F32BFCu);
}

TEST(SubtractiveRandomDraw, IndexesWrapFromOneToFiftyFive) {
  SubtractiveRandom g = seededExample();
  draws(g, 23);
  EXPECT_EQ(g.subtractIndex, 1);
  nextRandom(g);  // 24th
  EXPECT_EQ(g.subtractIndex, 55);
  EXPECT_EQ(g.writeIndex, 31);

  draws(g, 30);
  EXPECT_EQ(g.writeIndex, 1);
  EXPECT_EQ(g.subtractIndex, 25);
  nextRandom(g);  // 55th
  EXPECT_EQ(g.writeIndex, 55);
  EXPECT_EQ(g.subtractIndex, 24);
}

TEST(SubtractiveRandomDraw, ShuffleSlotIsTheFreshDifference) {
  // With writeIndex 55 and lastOutput a multiple of 42, the slot read is the
  // one just written, so the draw returns its own difference.
  for (uint32_t last : {0u, 42u, 84u, 0xFFFFFFFFu - 0xFFFFFFFFu % 42}) {
    SubtractiveRandom g = distinctSlots();
    g.writeIndex = 55;
    g.subtractIndex = 30;
    g.lastOutput = last;
    uint32_t x = g.slots[55] - g.slots[30];
    EXPECT_EQ(nextRandom(g), x) << "lastOutput " << last;
    EXPECT_EQ(g.slots[55], x);
    EXPECT_EQ(g.lastOutput, x);
    EXPECT_EQ(g.writeIndex, 54);
    EXPECT_EQ(g.subtractIndex, 29);
  }
}

TEST(SubtractiveRandomDraw, ShuffleSlotIsTheOldSubtrahend) {
  // subtractIndex 55 and p 55: the word returned is the one subtracted,
  // and slot 55 then receives the difference.
  SubtractiveRandom g = distinctSlots();
  g.writeIndex = 10;
  g.subtractIndex = 55;
  g.lastOutput = 42 * 7;
  uint32_t subtrahend = g.slots[55];
  uint32_t x = g.slots[10] - subtrahend;
  EXPECT_EQ(nextRandom(g), subtrahend);
  EXPECT_EQ(g.slots[55], x);
  EXPECT_EQ(g.slots[10], x);
  EXPECT_EQ(g.lastOutput, subtrahend);
  EXPECT_EQ(g.subtractIndex, 54);
}

TEST(SubtractiveRandomDraw, LastOutputIsTakenAsUnsigned) {
  struct Case {
    uint32_t lastOutput;
    uint32_t slot;
  };
  for (Case c : {Case{0xFFFFFFFFu, 58}, Case{0x80000000u, 57}}) {
    SubtractiveRandom g = distinctSlots();
    g.writeIndex = 10;
    g.subtractIndex = 5;
    g.lastOutput = c.lastOutput;
    uint32_t expected = g.slots[c.slot];
    uint32_t x = g.slots[10] - g.slots[5];
    EXPECT_EQ(nextRandom(g), expected) << std::hex << c.lastOutput;
    EXPECT_EQ(g.slots[c.slot], x) << std::hex << c.lastOutput;
  }
}

TEST(SubtractiveRandomProcess, ReseedingRepeatsTheSequence) {
  TestRun run;
  seedRandomAt(run, kExampleTime);
  std::vector<uint32_t> first = draws(run.workers[0].generator, 200);
  seedRandomAt(run, kExampleTime);
  EXPECT_EQ(draws(run.workers[0].generator, 200), first);

  // The first worker's generator mixes in the program's notice text.
  SubtractiveRandom g{};
  seedGenerator(g, kExampleTime, platform::noticeText());
  seedRandomAt(run, kExampleTime);
  EXPECT_EQ(draws(run.workers[0].generator, 50), draws(g, 50));
}

// The stream form of a cycle gives the draws of nextRandom and leaves the
// same state, over enough draws that the shuffle picks slot 55 just after
// the lag store wrote it, and from a state whose last output is 2^31 or more.
TEST(SubtractiveStream, DrawsAndLeavesWhatNextRandomDoes) {
  SubtractiveRandom one{};
  seedGenerator(one, kExampleTime, platform::noticeText());
  for (uint32_t lastOutput : {77u, 0u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(lastOutput);
    one.lastOutput = lastOutput;
    SubtractiveStream stream(one);
    int differ = 0;
    for (int i = 0; i < 100000; ++i) differ += stream.next() != nextRandom(one);
    EXPECT_EQ(differ, 0);
    SubtractiveRandom written{};
    stream.writeBack(written);
    EXPECT_EQ(std::memcmp(&written, &one, sizeof one), 0);
  }
}

// The multiplication stands in for % wherever a word count or the shuffle
// width divides a draw: every divisor below 2^32 must give the same
// remainder for every draw. (2^32 words and more take other paths.)
TEST(RemainderBy, EqualsTheRemainderForEdgeAndRandomDivisorsAndDraws) {
  std::mt19937 pick(20261207);
  std::vector<uint32_t> divisors{1, 2, 3, 5, 7, 42, 1000, 3000017, 0x7FFFFFFF, 0x80000001, 0xC0000000,
                                 0xFFFFFFFE, 0xFFFFFFFF};
  for (int bit = 0; bit < 32; ++bit) divisors.push_back(uint32_t{1} << bit);
  for (int i = 0; i < 200; ++i) divisors.push_back(std::max<uint32_t>(1, pick() >> (pick() % 32)));
  int wrong = 0;
  for (uint32_t d : divisors) {
    const RemainderBy remainder(d);
    const uint32_t topMultiple = 0xFFFFFFFF / d * d;
    std::vector<uint32_t> rs{0,          1,          2,          d - 1,      d,          d + 1,
                             2 * d - 1,  2 * d,      0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0xFFFFFFFF,
                             topMultiple, topMultiple - 1, topMultiple + (d - 1) / 2};
    for (int i = 0; i < 2000; ++i) rs.push_back(pick());
    for (uint32_t r : rs) {
      if (remainder(r) != r % d) {
        if (++wrong <= 10) ADD_FAILURE() << r << " mod " << d << " gave " << remainder(r);
      }
    }
  }
  EXPECT_EQ(wrong, 0);
}

}  // namespace
}  // namespace kelvaring
