#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <vector>

#include "platform/system_info.h"
#include "kelvaring/mul_div.h"
#include "kelvaring/state.h"
#include "random/index_draw.h"
#include "random/subtractive_random.h"

namespace kelvaring {
namespace {

constexpr uint64_t kTwoTo32 = uint64_t{1} << 32;

// Hands out the draws it was given, in order, and counts them.
struct Scripted {
  std::vector<uint32_t> draws;
  size_t taken = 0;
  uint32_t next() { return draws.at(taken++); }
};

// Draws chosen so that a wrong half, a remainder for the product, a
// missing or one-off rejection, or an index cut to 32 bits each give
// another index or draw count. At 3 x 2^30 words, 2^64 mod words is 2^30.
TEST(IndexDraw, ScriptedDrawsGiveTheirIndexes) {
  struct Row {
    const char* what;
    uint64_t words;
    std::vector<uint32_t> draws;
    uint64_t index;
    size_t taken;
  };
  const uint64_t threeTwo30 = uint64_t{3} << 30;
  for (const Row& row : std::vector<Row>{
           {"first draw low, second high: v = 2^63 + 1", threeTwo30, {1, 0x80000000}, threeTwo30 / 2, 2},
           {"low product 0, below 2^30: drawn again", threeTwo30, {0, 0, 1, 0x80000000}, threeTwo30 / 2, 4},
           {"low product exactly 2^30: kept", threeTwo30, {0xAAAAAAAB, 2, 1, 0x80000000}, 2, 2},
           {"2^32 words: the second draw", kTwoTo32, {0x12345678, 0x9ABCDEF0}, 0x9ABCDEF0, 2},
           {"2^32 + 3 words: drawn again, then the last word", kTwoTo32 + 3,
            {0, 0, 0xFFFFFFFF, 0xFFFFFFFF}, kTwoTo32 + 2, 4},
       }) {
    Scripted stream{row.draws};
    EXPECT_EQ(IndexDraw(row.words)(stream), row.index) << row.what;
    EXPECT_EQ(stream.taken, row.taken) << row.what;
  }
}

// One 32-bit draw a try up to 2^32 words: the high half of r x words, a
// low half below 2^32 mod words drawn again.
TEST(IndexDraw, ThirtyTwoBitDrawsGiveTheirIndexes) {
  struct Row {
    uint64_t words;
    std::vector<uint32_t> draws;
    uint32_t index;
    size_t taken;
  };
  const uint64_t threeTwo30 = uint64_t{3} << 30;  // 2^32 mod words = 2^30
  for (const Row& row : std::vector<Row>{
           {threeTwo30, {0x55555556}, 0x40000000, 1},  // low half 2^31: kept
           {threeTwo30, {0, 0x80000000, 1}, 0, 3},      // low halves 0 and 0: set aside
           {threeTwo30, {1}, 0, 1},                     // low half 3 x 2^30: kept
           {uint64_t{1} << 30, {0, 0xFFFFFFFF}, 0, 1},  // a power of two keeps every draw
           {kTwoTo32, {0x9ABCDEF0}, 0x9ABCDEF0, 1},
       }) {
    Scripted stream{row.draws};
    EXPECT_EQ(IndexDraw32(row.words)(stream), row.index) << row.words;
    EXPECT_EQ(stream.taken, row.taken) << row.words;
  }
}

// The 32-bit build multiplies in four parts: checked against __int128.
TEST(IndexDraw, WideProductAgreesWithA128BitProduct) {
  std::vector<std::array<uint64_t, 2>> pairs{{0, UINT64_MAX}, {1, UINT64_MAX}, {UINT64_MAX, UINT64_MAX},
                                             {0xFFFFFFFF, 0xFFFFFFFF}, {kTwoTo32, kTwoTo32},
                                             {0xFFFFFFFF00000001, 0x00000001FFFFFFFF}};
  std::mt19937_64 pick(20261207);
  for (int i = 0; i < 10000; ++i) pairs.push_back({pick() >> (pick() % 64), pick()});
  int wrong = 0;
  for (auto [a, b] : pairs) {
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    const WideProduct wide = wideProduct(a, b);
    if (wide.high != uint64_t(product >> 64) || wide.low != uint64_t(product)) {
      if (++wrong <= 5) ADD_FAILURE() << a << " x " << b;
    }
  }
  EXPECT_EQ(wrong, 0);
}

// Chi-square of 2^21 indexes of the seeded generator over 256 equal
// stretches of the slice (255 degrees of freedom: mean 255, standard
// deviation 23). An even draw stays far below the bound; one 32-bit draw
// modulo 3 x 2^30 words, which gives the first third twice the share of
// the rest, lies near 2^21 / 8.
TEST(IndexDraw, IndexesSpreadEvenlyOverTheSlice) {
  constexpr int kBuckets = 256;
  constexpr uint32_t kDraws = 1u << 21;
  constexpr double kBound = 400;
  struct Row {
    uint64_t words;
    bool modulo;  // one draw modulo the words instead of the draw a worker makes
    bool even;
  };
  for (Row row : {Row{(uint64_t{1} << 28) + 1, false, true}, Row{uint64_t{3} << 30, false, true},
                  Row{kTwoTo32 + 3, false, true}, Row{uint64_t{3} << 30, true, false}}) {
    SubtractiveRandom seeded{};
    seedGenerator(seeded, 1103285978, platform::noticeText());
    SubtractiveStream g(seeded);
    const IndexDraw draw(row.words);
    const IndexDraw32 draw32(std::min(row.words, kTwoTo32));
    std::vector<double> counts(kBuckets);
    for (uint32_t i = 0; i < kDraws; ++i) {
      const uint64_t index = row.modulo ? g.next() % row.words : row.words <= kTwoTo32 ? draw32(g) : draw(g);
      counts[index * kBuckets / row.words] += 1;  // below 2^41: no overflow
    }
    double chiSquare = 0;
    for (int b = 0; b < kBuckets; ++b) {
      // Bucket b holds indexes ceil(b x words / 256) up to the next one's.
      const double size = double(mulDivUp(b + 1, row.words, kBuckets) - mulDivUp(b, row.words, kBuckets));
      const double expected = kDraws * size / double(row.words);
      chiSquare += (counts[b] - expected) * (counts[b] - expected) / expected;
    }
    EXPECT_EQ(chiSquare < kBound, row.even) << row.words << " words, modulo " << row.modulo << ": " << chiSquare;
  }
}

}  // namespace
}  // namespace kelvaring
