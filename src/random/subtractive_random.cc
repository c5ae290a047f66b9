#include "random/subtractive_random.h"

#include "kelvaring/state.h"
#include "platform/system_info.h"

namespace kelvaring {
namespace {

constexpr uint32_t kLastSlot = 97;
constexpr size_t kMinSeedLength = kLastSlot + 1;
constexpr int kWarmUpRounds = 997;

}  // namespace

Text buildSeedText(uint32_t seconds, std::string_view notice, uint32_t worker) {
  Text seedText;
  // The notice is a view and need not be terminated, hence the precision.
  seedText.format("aEbFcGdHeI%u %.*s", static_cast<unsigned>(seconds),
                  static_cast<int>(notice.size()), notice.data());
  if (worker != 0) {
    Text number;
    number.format("#%u", static_cast<unsigned>(worker));
    seedText.append(number.c_str());
  }
  while (seedText.length() < kMinSeedLength) seedText.append("K$");
  return seedText;
}

void fillSlots(SubtractiveRandom& g, const Text& seedText) {
  for (uint32_t i = 1; i <= kLastSlot; ++i) {
    // Characters count as signed bytes whatever the signedness of char.
    int64_t c = static_cast<int8_t>(seedText.at(i));
    int64_t value = 997 * static_cast<int64_t>(i) + 8171717 * c;
    // The value fits 32 signed bits; keep its two's-complement pattern.
    g.slots[i] = static_cast<uint32_t>(value);
  }
}

void warmUp(SubtractiveRandom& g) {
  uint32_t a = kLastSlot;
  uint32_t b = 12;
  for (int round = 0; round < kWarmUpRounds; ++round) {
    if (a == 0) a = kLastSlot;
    if (b == 0) b = kLastSlot;
    g.slots[a] -= g.slots[b];
    --a;
    --b;
  }
}

namespace {

void seedFromText(SubtractiveRandom& g, const Text& seedText) {
  g.slots[0] = 0;
  fillSlots(g, seedText);
  warmUp(g);
  g.writeIndex = 55;
  g.subtractIndex = 24;
  g.lastOutput = 77;
}

}  // namespace

void seedGenerator(SubtractiveRandom& g, uint32_t seconds, std::string_view notice) {
  // Built before anything is written: running out of memory for it leaves
  // the generator as it was.
  seedFromText(g, buildSeedText(seconds, notice));
}

void seedWorkerGenerator(SubtractiveRandom& g, uint32_t seconds, uint32_t worker) {
  seedFromText(g, buildSeedText(seconds, platform::noticeText(), worker));
}

}  // namespace kelvaring
